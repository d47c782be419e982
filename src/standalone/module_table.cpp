#include "module_table.h"

extern "C" {
extern const struct mod_export exports_opus;
extern const struct mod_export exports_g711;
extern const struct mod_export exports_ice;
extern const struct mod_export exports_stun;
extern const struct mod_export exports_turn;
extern const struct mod_export exports_dtls_srtp;
extern const struct mod_export exports_uuid;
extern const struct mod_export exports_netroam;
extern const struct mod_export exports_webapp;
extern const struct mod_export exports_zvaudio;
extern const struct mod_export exports_g722;
extern const struct mod_export exports_zvlogging;
}

// The library's core converts between the driver's format and a codec's
// rate and channels itself, so "auresamp" has no module of its own.
const struct zv_static_module zv_module_table[] = {
	{"opus", &exports_opus},
	{"g711", &exports_g711},
	{"ice", &exports_ice},
	{"stun", &exports_stun},
	{"turn", &exports_turn},
	{"dtls_srtp", &exports_dtls_srtp},
	{"uuid", &exports_uuid},
	{"auresamp", nullptr},
	{"netroam", &exports_netroam},
	{"webapp", &exports_webapp},
	{"zvaudio", &exports_zvaudio},
	{"g722", &exports_g722},
	{"zvlogging", &exports_zvlogging},
};
const size_t zv_module_count = sizeof(zv_module_table) / sizeof(zv_module_table[0]);
