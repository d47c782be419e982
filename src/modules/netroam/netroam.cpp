// Follows changes of the local network addresses: when they change, the SIP
// transports are bound anew, every user agent registers again and running
// calls are re-invited with the new address.
#include "sipstack.h"

namespace {

// How often, in seconds, the local addresses are compared.
constexpr uint32_t check_interval = 10;

void network_changed(void *arg)
{
	(void)arg;
	info("netroam: network changed\n");
	int err = uag_reset_transp(true, true);
	if (err)
		warning("netroam: could not reset the SIP transports (%H)\n", ZV_ERRNO(err));
}

int netroam_init(void)
{
	net_change(baresip_network(), check_interval, network_changed, nullptr);
	return 0;
}

int netroam_close(void)
{
	net_change(baresip_network(), 0, nullptr, nullptr);
	return 0;
}

}

extern "C" const struct mod_export exports_netroam = {
	"netroam",
	"application",
	netroam_init,
	netroam_close,
};
