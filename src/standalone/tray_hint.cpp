#include "tray_hint.h"

#include <vector>

#include "state_file.h"
#include "tray_icon.h"

namespace {

const char state_name[] = "TrayHintShown";
const char title[] = "Zorvane is running";
const char text[] = "Click the Zorvane icon to open it again, right-click it to quit.";
constexpr int image_size = 48;

int on_reply(sd_bus_message *m, void *, sd_bus_error *)
{
	if (!sd_bus_message_is_method_error(m, nullptr))
		(void)zv_state_set_u32(state_name, 1);
	return 1;
}

// The icon as "image-data": (width, height, rowstride, has alpha,
// bits per sample, channels, RGBA bytes).
int append_image(sd_bus_message *m)
{
	std::vector<uint8_t> rgba = tray_icon_argb(image_size);
	for (size_t i = 0; i < rgba.size(); i += 4) {
		const uint8_t a = rgba[i];
		rgba[i] = rgba[i + 1];
		rgba[i + 1] = rgba[i + 2];
		rgba[i + 2] = rgba[i + 3];
		rgba[i + 3] = a;
	}

	int r = sd_bus_message_open_container(m, 'e', "sv");
	if (r >= 0)
		r = sd_bus_message_append(m, "s", "image-data");
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'v', "(iiibiiay)");
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'r', "iiibiiay");
	if (r >= 0)
		r = sd_bus_message_append(m, "iiibii", image_size, image_size, image_size * 4, 1, 8,
					  4);
	if (r >= 0)
		r = sd_bus_message_append_array(m, 'y', rgba.data(), rgba.size());
	for (int i = 0; i < 3 && r >= 0; ++i)
		r = sd_bus_message_close_container(m);
	return r;
}

}

bool tray_hint_wanted(void)
{
	uint32_t shown = 0;
	return zv_state_get_u32(state_name, &shown) || shown == 0;
}

void tray_hint_show(sd_bus *bus)
{
	sd_bus_message *m = nullptr;
	int r = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.Notifications",
					       "/org/freedesktop/Notifications",
					       "org.freedesktop.Notifications", "Notify");
	// app name, replaces id, icon name, summary, body, actions, hints, timeout
	if (r >= 0)
		r = sd_bus_message_append(m, "susssas", "Zorvane", 0, "", title, text, 0);
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'a', "{sv}");
	if (r >= 0)
		r = append_image(m);
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	if (r >= 0)
		r = sd_bus_message_append(m, "i", -1);
	if (r >= 0)
		(void)sd_bus_call_async(bus, nullptr, m, on_reply, nullptr, 0);
	sd_bus_message_unref(m);
}
