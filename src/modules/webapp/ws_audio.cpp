#include "ws_audio.h"

#include <cstring>

#include "webapp_engine.h"
#include "ws.h"
#include "ws_dispatch.h"
#include "zvaudio.h"

namespace {

// The member "id" as a signed 32-bit value of its low 32 bits; 0 unless it
// is a JSON integer.
int id_of(const struct odict *msg)
{
	const struct odict_entry *e = odict_get_type(msg, ODICT_INT, "id");
	if (!e)
		return 0;
	const auto low = static_cast<uint32_t>(static_cast<uint64_t>(e->u.integer));
	int32_t id;
	std::memcpy(&id, &low, sizeof(id));
	return id;
}

}

void webapp_ws_audio_push(void)
{
	webapp_ws_send_json(WS_AUDIO, zvaudio_info());
}

void webapp_ws_audio_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	struct odict *msg = nullptr;
	if (webapp_ws_decode(&msg, mb))
		return;
	const char *command = odict_string(msg, "command");
	if (!str_cmp(command, "driver"))
		(void)zvaudio_set_host_api(id_of(msg));
	else if (!str_cmp(command, "input"))
		(void)zvaudio_set_input(id_of(msg));
	else if (!str_cmp(command, "first_input_channel"))
		(void)zvaudio_set_first_input_channel(id_of(msg));
	else if (!str_cmp(command, "output"))
		(void)zvaudio_set_output(id_of(msg));
	else if (!str_cmp(command, "reload"))
		(void)zvaudio_reload();
	mem_deref(msg);
}
