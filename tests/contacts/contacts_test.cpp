// The contacts part against the SIP library's own contact list, with the
// websocket senders recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "contacts.h"
#include "webapp.h"
#include "json.h"
#include "ws.h"
#include "ws_dispatch.h"

struct odict *webapp_calls;

namespace {

std::map<std::string, webapp_ws_command_h *> handlers;
webapp_ws_state_h *contacts_state;
std::vector<std::pair<int, std::string>> pushes;

int print_mb(const char *p, size_t size, void *arg)
{
	return mbuf_write_mem(static_cast<struct mbuf *>(arg), reinterpret_cast<const uint8_t *>(p),
			      size);
}

}

int webapp_ws_command_set(int endpoint, const char *command, webapp_ws_command_h *h)
{
	EXPECT_EQ(endpoint, WS_CONTACTS);
	if (h)
		handlers[command] = h;
	else
		handlers.erase(command);
	return 0;
}

void webapp_ws_state_set(int endpoint, webapp_ws_state_h *state)
{
	EXPECT_EQ(endpoint, WS_CONTACTS);
	contacts_state = state;
}

void webapp_ws_send_json(int endpoint, const struct odict *dict)
{
	struct mbuf *mb = mbuf_alloc(256);
	struct re_printf pf = {print_mb, mb};
	if (dict)
		(void)json_encode_odict(&pf, dict);
	pushes.emplace_back(endpoint, std::string(reinterpret_cast<char *>(mb->buf), mb->end));
	mem_deref(mb);
}

namespace {

class Library : public testing::Environment {
public:
	void SetUp() override
	{
		ASSERT_EQ(libre_init(), 0);
		log_enable_stdout(false);
		ASSERT_EQ(baresip_init(conf_config()), 0);
	}

	void TearDown() override
	{
		baresip_close();
		libre_close();
	}
};

const auto *library = testing::AddGlobalTestEnvironment(new Library);

class Contacts : public testing::Test {
protected:
	std::string dir;

	void SetUp() override
	{
		char tmpl[] = "/tmp/webapp-contacts-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		conf_path_set(dir.c_str());
		forget_library_contacts();
		pushes.clear();
		ASSERT_EQ(odict_alloc(&webapp_calls, 8), 0);
	}

	void TearDown() override
	{
		webapp_contacts_close();
		webapp_calls = static_cast<struct odict *>(mem_deref(webapp_calls));
		std::string cmd = "rm -rf '" + dir + "'";
		(void)std::system(cmd.c_str());
	}

	static void forget_library_contacts()
	{
		struct list *l = contact_list(baresip_contacts());
		while (l->head)
			contact_remove(baresip_contacts(), static_cast<struct contact *>(l->head->data));
	}

	// The name-addr texts in the library's list, in its order.
	static std::vector<std::string> library_contacts()
	{
		std::vector<std::string> out;
		for (struct le *le = list_head(contact_list(baresip_contacts())); le; le = le->next)
			out.push_back(contact_str(static_cast<struct contact *>(le->data)));
		return out;
	}

	std::string file() const
	{
		return dir + "/contacts.json";
	}

	void put(const std::string &bytes) const
	{
		std::ofstream(file(), std::ios::binary) << bytes;
	}

	std::string get() const
	{
		std::ifstream in(file(), std::ios::binary);
		std::stringstream ss;
		ss << in.rdbuf();
		return ss.str();
	}

	static void command(const char *json)
	{
		struct odict *msg = nullptr;
		ASSERT_EQ(webapp_json_decode(&msg, json, strlen(json)), 0);
		const char *name = odict_string(msg, "command");
		ASSERT_TRUE(handlers.count(name)) << name;
		handlers[name](msg);
		mem_deref(msg);
	}
};

TEST_F(Contacts, NameAddrEnteredIntoTheLibrary)
{
	const std::string sixty(60, 'n');
	struct {
		std::string name, sip;
		const char *entered; // nullptr: not entered
	} cases[] = {
		{"Alice", "alice@example.org", "\"Alice\"<sip:alice@example.org>"},
		{sixty, "long@example.org",
		 "\"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn\"<sip:long@example.org>"},
		{"Bob", std::string(120, 'b'), nullptr}, // cut to 99: entered, checked below
		{"", "anon@h", "\"\"<sip:anon@h>"},
		{"Al\"ice\\", "q@h", "\"Al\\\"ice\\\\\"<sip:q@h>"},
		{"x", "sip:dup@h", "\"x\"<sip:sip:dup@h>"},
		{"x", "evil@h>;access=block;x=", nullptr},
		{"x", "a b@h", nullptr},
		{"x", "a\r\nb@h", nullptr},
		{"x", "a\"b@h", nullptr},
		{"x", "<a@h", nullptr},
		{"x", "", nullptr}, // the library refuses it
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.sip);
		forget_library_contacts();
		struct odict *rec = nullptr;
		ASSERT_EQ(odict_alloc(&rec, 8), 0);
		odict_entry_add(rec, "name", ODICT_STRING, c.name.c_str());
		odict_entry_add(rec, "sip", ODICT_STRING, c.sip.c_str());
		webapp_contact_register(rec);
		mem_deref(rec);

		std::vector<std::string> got = library_contacts();
		if (c.sip.size() > 99) {
			ASSERT_EQ(got.size(), 1u);
			EXPECT_EQ(got[0], "\"Bob\"<sip:" + c.sip.substr(0, 99) + ">");
		}
		else if (c.entered)
			EXPECT_EQ(got, std::vector<std::string>{c.entered});
		else
			EXPECT_TRUE(got.empty());
	}
	webapp_contact_register(nullptr);
	EXPECT_TRUE(library_contacts().size() <= 1);
}

TEST_F(Contacts, PageTextsCannotBlockCallers)
{
	const char *records[] = {
		R"({"name":"x","sip":"evil@h>;access=block;x="})",
		R"({"name":"a\"<sip:evil@h>;access=block;x=\"","sip":"real@h"})",
		R"({"name":"all","sip":"*@*>;access=block;x="})",
	};
	for (const char *r : records) {
		struct odict *rec = nullptr;
		ASSERT_EQ(webapp_json_decode(&rec, r, strlen(r)), 0);
		webapp_contact_register(rec);
		mem_deref(rec);
	}
	EXPECT_FALSE(contact_block_access(baresip_contacts(), "sip:evil@h"));
	EXPECT_FALSE(contact_block_access(baresip_contacts(), "sip:anyone@else"));
	EXPECT_FALSE(contact_block_access(baresip_contacts(), "sip:real@h"));
	// The escaped name stays a name: the one contact has the real address.
	ASSERT_EQ(library_contacts().size(), 1u);
	EXPECT_STREQ(contact_uri(static_cast<struct contact *>(
			     list_head(contact_list(baresip_contacts()))->data)),
		     "sip:real@h");
}

TEST_F(Contacts, AddAndDeleteOverTheCommands)
{
	ASSERT_EQ(webapp_contacts_init(), 0);
	ASSERT_TRUE(contacts_state);
	EXPECT_EQ(contacts_state(), webapp_contacts());

	command(R"({"command":"addcontact","name":"Alice","sip":"a@h","n":1,"note":"x/y"})");
	EXPECT_EQ(pushes, (std::vector<std::pair<int, std::string>>{
				  {WS_CONTACTS, R"({"0":{"name":"Alice","sip":"a@h","note":"x\/y"}})"},
				  {WS_CALLS, "{}"},
			  }));
	command(R"({"command":"addcontact","name":"Second Alice","sip":"a@h"})");
	command(R"({"command":"addcontact","name":"Bad","sip":"b@h>;access=block;x="})");
	EXPECT_EQ(get(), R"({"0":{"name":"Alice","sip":"a@h","note":"x\/y"},)"
			 R"("1":{"name":"Second Alice","sip":"a@h"},)"
			 R"("2":{"name":"Bad","sip":"b@h>;access=block;x="}})");
	EXPECT_EQ(library_contacts(), (std::vector<std::string>{"\"Alice\"<sip:a@h>",
								 "\"Second Alice\"<sip:a@h>"}));

	pushes.clear();
	command(R"({"command":"deletecontact","sip":"a@h"})");
	const std::string after = R"({"1":{"name":"Second Alice","sip":"a@h"},)"
				  R"("2":{"name":"Bad","sip":"b@h>;access=block;x="}})";
	EXPECT_EQ(pushes, (std::vector<std::pair<int, std::string>>{{WS_CONTACTS, after}}));
	EXPECT_EQ(get(), after);
	// The library keeps what it was given.
	EXPECT_EQ(library_contacts().size(), 2u);

	// The freed key is taken again, and listed last.
	command(R"({"command":"addcontact","name":"Carol","sip":"c@h"})");
	EXPECT_EQ(get(), R"({"1":{"name":"Second Alice","sip":"a@h"},)"
			 R"("2":{"name":"Bad","sip":"b@h>;access=block;x="},)"
			 R"("0":{"name":"Carol","sip":"c@h"}})");

	// No match, a non-string "sip" (the empty text) and a missing one.
	pushes.clear();
	command(R"({"command":"deletecontact","sip":"nobody@h"})");
	command(R"({"command":"deletecontact","sip":5})");
	command(R"({"command":"deletecontact"})");
	EXPECT_EQ(pushes.size(), 2u);
	EXPECT_EQ(pushes.back().second, get());

	webapp_contacts_close();
	EXPECT_TRUE(handlers.empty());
	EXPECT_EQ(contacts_state, nullptr);
	EXPECT_EQ(webapp_contacts(), nullptr);
}

TEST_F(Contacts, DeleteComparesTheFirst99Characters)
{
	const std::string sip(150, 's');
	const std::string stored = R"({"0":{"name":"n","sip":")" + sip +
				   R"("},"1":{"name":"m"},"2":"text"})";
	put(stored);
	ASSERT_EQ(webapp_contacts_init(), 0);
	webapp_contact_delete(sip.c_str());
	EXPECT_EQ(get(), stored); // nothing matched, nothing saved
	webapp_contact_delete(sip.substr(0, 99).c_str());
	EXPECT_EQ(get(), R"({"1":{"name":"m"},"2":"text"})");
}

TEST_F(Contacts, StartEntersTheStoredRecords)
{
	put(R"({"0":{"name":"A","sip":"a@h"},"1":"x","2":{"name":"B","sip":"b@h"}})");
	ASSERT_EQ(webapp_contacts_init(), 0);
	EXPECT_EQ(library_contacts(),
		  (std::vector<std::string>{"\"A\"<sip:a@h>", "\"B\"<sip:b@h>"}));
	webapp_contacts_close();
	EXPECT_EQ(get(), R"({"0":{"name":"A","sip":"a@h"},"1":"x","2":{"name":"B","sip":"b@h"}})");
}

TEST_F(Contacts, EmptyOrMissingFileGivesNoContacts)
{
	for (bool empty : {true, false}) {
		std::remove(file().c_str());
		if (empty)
			put("");
		ASSERT_EQ(webapp_contacts_init(), 0);
		EXPECT_TRUE(library_contacts().empty());
		webapp_contacts_close();
		EXPECT_EQ(get(), "{}");
	}
}

TEST_F(Contacts, DamagedFileIsNeverWrittenOver)
{
	const std::string damaged = R"({"0":{"name":"A","sip":"a@h"}} trailing)";
	put(damaged);
	EXPECT_EQ(webapp_contacts_init(), EBADMSG);
	EXPECT_TRUE(library_contacts().empty());
	EXPECT_EQ(webapp_contacts(), nullptr);

	command(R"({"command":"addcontact","name":"New","sip":"n@h"})");
	command(R"({"command":"deletecontact","sip":"a@h"})");
	webapp_contacts_close();

	EXPECT_EQ(get(), damaged);
	// Entered into the library all the same; the page is told that it was
	// not stored, and the pushes carry no dictionary.
	EXPECT_EQ(library_contacts(), std::vector<std::string>{"\"New\"<sip:n@h>"});
	EXPECT_EQ(pushes, (std::vector<std::pair<int, std::string>>{
				  {WS_BARESIP, R"({"callback":"ERROR","message":)"
					       R"("Could not save contacts.json: Bad message [74]"})"},
				  {WS_CONTACTS, ""},
				  {WS_CALLS, "{}"},
				  {WS_CONTACTS, ""}}));
}

}
