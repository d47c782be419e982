// The SIP library's own static module lookup reads this table. The program
// loads its modules with zv_conf_modules from its own table, so the
// library's lookup finds nothing and never loads a module by itself.
#include "sipstack.h"

extern "C" const struct mod_export *mod_table[] = {nullptr};
