#include "tray_menu.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tray.h"
#include "tray_actions.h"

namespace {

struct menu_entry {
	int id;
	const char *text; // nullptr for a separator
};

// The separators have ids of their own, below the commands'.
const menu_entry entries[] = {
	{IDM_TRAY_OPEN, "&Open Zorvane"},
	{1, nullptr},
	{IDM_TRAY_RECORDINGS, "Open &recordings folder"},
	{IDM_TRAY_LOGS, "Open &log folder"},
	{2, nullptr},
	{IDM_TRAY_QUIT, "&Quit Zorvane"},
};

constexpr int root_id = 0;

const menu_entry *find_entry(int id)
{
	for (const menu_entry &e : entries)
		if (e.id == id)
			return &e;
	return nullptr;
}

// The menu's "&" mnemonic marker is "_" here, and a plain "_" is doubled.
std::string label(const char *text)
{
	std::string out;
	for (const char *p = text; *p; ++p) {
		if (*p == '&')
			out += '_';
		else if (*p == '_')
			out += "__";
		else
			out += *p;
	}
	return out;
}

// The property names a request asks for; an empty list asks for all.
struct names {
	char **list = nullptr;
	~names()
	{
		if (!list)
			return;
		for (char **p = list; *p; ++p)
			std::free(*p);
		std::free(list);
	}
	bool wanted(const char *name) const
	{
		if (!list || !*list)
			return true;
		for (char **p = list; *p; ++p)
			if (!std::strcmp(*p, name))
				return true;
		return false;
	}
};

const char *const property_names[] = {"children-display", "type", "label", "enabled"};

// Whether the item (nullptr: the root) has the property.
bool has_property(const menu_entry *entry, const char *name)
{
	if (!entry)
		return !std::strcmp(name, "children-display");
	if (!entry->text)
		return !std::strcmp(name, "type");
	return !std::strcmp(name, "label") || !std::strcmp(name, "enabled");
}

// The property's value as a variant; the item must have it.
int append_value(sd_bus_message *m, const menu_entry *entry, const tray_menu *menu,
		 const char *name)
{
	if (!std::strcmp(name, "children-display"))
		return sd_bus_message_append(m, "v", "s", "submenu");
	if (!std::strcmp(name, "type"))
		return sd_bus_message_append(m, "v", "s", "separator");
	if (!std::strcmp(name, "label"))
		return sd_bus_message_append(m, "v", "s", label(entry->text).c_str());
	const bool enabled = entry->id != IDM_TRAY_OPEN || menu->page_known;
	return sd_bus_message_append(m, "v", "b", enabled);
}

// The a{sv} of one item.
int append_props(sd_bus_message *m, const menu_entry *entry, const tray_menu *menu,
		 const names &want)
{
	int r = sd_bus_message_open_container(m, 'a', "{sv}");
	for (const char *name : property_names) {
		if (r < 0 || !has_property(entry, name) || !want.wanted(name))
			continue;
		r = sd_bus_message_open_container(m, 'e', "sv");
		if (r >= 0)
			r = sd_bus_message_append(m, "s", name);
		if (r >= 0)
			r = append_value(m, entry, menu, name);
		if (r >= 0)
			r = sd_bus_message_close_container(m);
	}
	return r < 0 ? r : sd_bus_message_close_container(m);
}

// One (ia{sv}av) node, with the entries below the root when asked.
int append_node(sd_bus_message *m, const menu_entry *entry, bool children, const tray_menu *menu,
		const names &want)
{
	int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
	if (r >= 0)
		r = sd_bus_message_append(m, "i", entry ? entry->id : root_id);
	if (r >= 0)
		r = append_props(m, entry, menu, want);
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'a', "v");
	if (!entry && children) {
		for (const menu_entry &e : entries) {
			if (r >= 0)
				r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
			if (r >= 0)
				r = append_node(m, &e, false, menu, want);
			if (r >= 0)
				r = sd_bus_message_close_container(m);
		}
	}
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	return r < 0 ? r : sd_bus_message_close_container(m);
}

bool known_id(int id)
{
	return id == root_id || find_entry(id);
}

int unknown_id(sd_bus_error *error, int id)
{
	return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", id);
}

void clicked(int id)
{
	switch (id) {
	case IDM_TRAY_OPEN:
		tray_open_page();
		break;
	case IDM_TRAY_RECORDINGS:
		tray_post(TRAY_CMD_OPEN_RECORDINGS);
		break;
	case IDM_TRAY_LOGS:
		tray_open_logs();
		break;
	case IDM_TRAY_QUIT:
		tray_post(TRAY_CMD_QUIT);
		break;
	default:
		break;
	}
}

int get_layout(sd_bus_message *m, void *userdata, sd_bus_error *error)
{
	const tray_menu *menu = static_cast<const tray_menu *>(userdata);
	int32_t parent, depth;
	names want;
	int r = sd_bus_message_read(m, "ii", &parent, &depth);
	if (r >= 0)
		r = sd_bus_message_read_strv(m, &want.list);
	if (r < 0)
		return r;
	if (!known_id(parent))
		return unknown_id(error, parent);

	sd_bus_message *reply = nullptr;
	r = sd_bus_message_new_method_return(m, &reply);
	if (r >= 0)
		r = sd_bus_message_append(reply, "u", menu->revision);
	if (r >= 0)
		r = append_node(reply, parent == root_id ? nullptr : find_entry(parent), depth != 0,
				menu, want);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

int get_group_properties(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	const tray_menu *menu = static_cast<const tray_menu *>(userdata);
	const void *ids_data = nullptr;
	size_t ids_size = 0;
	names want;
	int r = sd_bus_message_read_array(m, 'i', &ids_data, &ids_size);
	if (r >= 0)
		r = sd_bus_message_read_strv(m, &want.list);
	if (r < 0)
		return r;

	// Copied out: the array points into the request.
	const int32_t *first = static_cast<const int32_t *>(ids_data);
	std::vector<int32_t> ids(first, first + ids_size / sizeof(int32_t));
	if (ids.empty())
		for (const menu_entry &e : entries)
			ids.push_back(e.id);

	sd_bus_message *reply = nullptr;
	r = sd_bus_message_new_method_return(m, &reply);
	if (r >= 0)
		r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
	for (int32_t id : ids) {
		if (r < 0 || !known_id(id))
			continue;
		r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
		if (r >= 0)
			r = sd_bus_message_append(reply, "i", id);
		if (r >= 0)
			r = append_props(reply, id == root_id ? nullptr : find_entry(id), menu,
					 want);
		if (r >= 0)
			r = sd_bus_message_close_container(reply);
	}
	if (r >= 0)
		r = sd_bus_message_close_container(reply);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

int get_property(sd_bus_message *m, void *userdata, sd_bus_error *error)
{
	const tray_menu *menu = static_cast<const tray_menu *>(userdata);
	int32_t id;
	const char *name;
	int r = sd_bus_message_read(m, "is", &id, &name);
	if (r < 0)
		return r;
	if (!known_id(id))
		return unknown_id(error, id);
	const menu_entry *entry = id == root_id ? nullptr : find_entry(id);
	if (!has_property(entry, name))
		return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
					 "menu item %d has no property %s", id, name);

	sd_bus_message *reply = nullptr;
	r = sd_bus_message_new_method_return(m, &reply);
	if (r >= 0)
		r = append_value(reply, entry, menu, name);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

int event(sd_bus_message *m, void *, sd_bus_error *error)
{
	int32_t id;
	const char *kind;
	int r = sd_bus_message_read(m, "is", &id, &kind);
	if (r < 0)
		return r;
	if (!known_id(id))
		return unknown_id(error, id);
	if (!std::strcmp(kind, "clicked"))
		clicked(id);
	return sd_bus_reply_method_return(m, "");
}

int event_group(sd_bus_message *m, void *, sd_bus_error *error)
{
	std::vector<int32_t> errors;
	bool any_known = false;
	int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
	while (r >= 0) {
		r = sd_bus_message_enter_container(m, 'r', "isvu");
		if (r <= 0)
			break;
		int32_t id;
		const char *kind;
		r = sd_bus_message_read(m, "is", &id, &kind);
		if (r >= 0)
			r = sd_bus_message_skip(m, "vu");
		if (r >= 0)
			r = sd_bus_message_exit_container(m);
		if (r < 0)
			break;
		if (!known_id(id)) {
			errors.push_back(id);
			continue;
		}
		any_known = true;
		if (!std::strcmp(kind, "clicked"))
			clicked(id);
	}
	if (r < 0)
		return r;
	if (!any_known && !errors.empty())
		return unknown_id(error, errors.front());

	sd_bus_message *reply = nullptr;
	r = sd_bus_message_new_method_return(m, &reply);
	if (r >= 0)
		r = sd_bus_message_append_array(reply, 'i', errors.data(),
						errors.size() * sizeof(int32_t));
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

// The menu never changes when it opens.
int about_to_show(sd_bus_message *m, void *, sd_bus_error *error)
{
	int32_t id;
	int r = sd_bus_message_read(m, "i", &id);
	if (r < 0)
		return r;
	if (!known_id(id))
		return unknown_id(error, id);
	return sd_bus_reply_method_return(m, "b", 0);
}

int about_to_show_group(sd_bus_message *m, void *, sd_bus_error *)
{
	const void *ids_data = nullptr;
	size_t ids_size = 0;
	int r = sd_bus_message_read_array(m, 'i', &ids_data, &ids_size);
	if (r < 0)
		return r;
	std::vector<int32_t> errors;
	for (size_t i = 0; i < ids_size / sizeof(int32_t); ++i) {
		int32_t id = static_cast<const int32_t *>(ids_data)[i];
		if (!known_id(id))
			errors.push_back(id);
	}

	sd_bus_message *reply = nullptr;
	r = sd_bus_message_new_method_return(m, &reply);
	if (r >= 0)
		r = sd_bus_message_append(reply, "ai", 0);
	if (r >= 0)
		r = sd_bus_message_append_array(reply, 'i', errors.data(),
						errors.size() * sizeof(int32_t));
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

int get_menu_property(sd_bus *, const char *, const char *, const char *property,
		      sd_bus_message *reply, void *, sd_bus_error *)
{
	if (!std::strcmp(property, "Version"))
		return sd_bus_message_append(reply, "u", 3);
	if (!std::strcmp(property, "TextDirection"))
		return sd_bus_message_append(reply, "s", "ltr");
	if (!std::strcmp(property, "Status"))
		return sd_bus_message_append(reply, "s", "normal");
	if (!std::strcmp(property, "IconThemePath"))
		return sd_bus_message_append(reply, "as", 0);
	return -ENOENT;
}

const sd_bus_vtable menu_vtable[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_PROPERTY("Version", "u", get_menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("TextDirection", "s", get_menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Status", "s", get_menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("IconThemePath", "as", get_menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", get_layout, 0),
	SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", get_group_properties, 0),
	SD_BUS_METHOD("GetProperty", "is", "v", get_property, 0),
	SD_BUS_METHOD("Event", "isvu", "", event, 0),
	SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", event_group, 0),
	SD_BUS_METHOD("AboutToShow", "i", "b", about_to_show, 0),
	SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", about_to_show_group, 0),
	SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
	SD_BUS_VTABLE_END,
};

}

int tray_menu_add(sd_bus *bus, tray_menu *menu)
{
	menu->revision = 1;
	menu->page_known = tray_port() != 0;
	return sd_bus_add_object_vtable(bus, nullptr, TRAY_MENU_PATH, "com.canonical.dbusmenu",
					menu_vtable, menu);
}

void tray_menu_update(sd_bus *bus, tray_menu *menu)
{
	const bool known = tray_port() != 0;
	if (known == menu->page_known)
		return;
	menu->page_known = known;
	++menu->revision;
	(void)sd_bus_emit_signal(bus, TRAY_MENU_PATH, "com.canonical.dbusmenu", "LayoutUpdated",
				 "ui", menu->revision, root_id);
}
