#include "sipstack.h"

int zv_errno_print(struct re_printf *pf, void *arg)
{
	int err = static_cast<int>(reinterpret_cast<intptr_t>(arg));
	return re_hprintf(pf, "%m [%d]", err, err);
}
