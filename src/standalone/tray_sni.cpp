#include "tray_sni.h"

#include <cerrno>
#include <cstring>

#include "tray_actions.h"
#include "tray_icon.h"
#include "tray_menu.h"

namespace {

const int icon_sizes[] = {16, 22, 24, 32, 48};

int append_pixmaps(sd_bus_message *reply)
{
	int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
	for (int size : icon_sizes) {
		if (r < 0)
			return r;
		std::vector<uint8_t> argb = tray_icon_argb(size);
		r = sd_bus_message_open_container(reply, 'r', "iiay");
		if (r >= 0)
			r = sd_bus_message_append(reply, "ii", size, size);
		if (r >= 0)
			r = sd_bus_message_append_array(reply, 'y', argb.data(), argb.size());
		if (r >= 0)
			r = sd_bus_message_close_container(reply);
	}
	return r < 0 ? r : sd_bus_message_close_container(reply);
}

// (icon name, icon pixmaps, title, description)
int append_tooltip(sd_bus_message *reply)
{
	int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
	if (r >= 0)
		r = sd_bus_message_append(reply, "s", "");
	if (r >= 0)
		r = sd_bus_message_append(reply, "a(iiay)", 0);
	if (r >= 0)
		r = sd_bus_message_append(reply, "ss", tray_tooltip(), "");
	return r < 0 ? r : sd_bus_message_close_container(reply);
}

int get_property(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
		 void *, sd_bus_error *)
{
	if (!std::strcmp(property, "Category"))
		return sd_bus_message_append(reply, "s", "ApplicationStatus");
	if (!std::strcmp(property, "Id"))
		return sd_bus_message_append(reply, "s", "ZorvaneStandaloneTray");
	if (!std::strcmp(property, "Title"))
		return sd_bus_message_append(reply, "s", "Zorvane");
	if (!std::strcmp(property, "Status"))
		return sd_bus_message_append(reply, "s", "Active");
	if (!std::strcmp(property, "IconName"))
		return sd_bus_message_append(reply, "s", "");
	if (!std::strcmp(property, "IconPixmap"))
		return append_pixmaps(reply);
	if (!std::strcmp(property, "ToolTip"))
		return append_tooltip(reply);
	if (!std::strcmp(property, "ItemIsMenu"))
		return sd_bus_message_append(reply, "b", 0);
	if (!std::strcmp(property, "Menu"))
		return sd_bus_message_append(reply, "o", TRAY_MENU_PATH);
	return -ENOENT;
}

// A click or a keyboard selection on the icon.
int activate(sd_bus_message *m, void *, sd_bus_error *)
{
	tray_open_page();
	return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable item_vtable[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_PROPERTY("Category", "s", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Id", "s", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Title", "s", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Status", "s", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("IconName", "s", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("IconPixmap", "a(iiay)", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("ItemIsMenu", "b", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Menu", "o", get_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_METHOD("Activate", "ii", "", activate, 0),
	SD_BUS_VTABLE_END,
};

}

int tray_sni_add(sd_bus *bus)
{
	return sd_bus_add_object_vtable(bus, nullptr, TRAY_SNI_PATH, "org.kde.StatusNotifierItem",
					item_vtable, nullptr);
}
