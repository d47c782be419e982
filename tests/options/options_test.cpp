#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fakes.h"
#include "options.h"
#include "sip_trace.h"
#include "webapp_engine.h"

namespace {

const std::string defaults =
	R"({"monitoring":"","monorecord":"true","monostream":"true","verbose":""})";

class Options : public testing::Test {
protected:
	std::string dir;

	void SetUp() override
	{
		char tmpl[] = "/tmp/webapp-options-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		conf_path_set(dir.c_str());
		log_enable_stdout(false);
		log_enable_debug(false);
		fakes.reset();
		fakes.capture_log(true);
	}

	void TearDown() override
	{
		webapp_options_close();
		fakes.capture_log(false);
		log_enable_debug(false);
		std::string cmd = "rm -rf '" + dir + "'";
		(void)std::system(cmd.c_str());
	}

	std::string file() const
	{
		return dir + "/options.json";
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

	// init, then forget what it did.
	void start()
	{
		ASSERT_EQ(webapp_options_init(), 0);
		fakes.reset();
	}

	// The log lines of the options part, without the level.
	static std::vector<std::string> option_lines()
	{
		std::vector<std::string> out;
		for (const std::string &l : fakes.log) {
			if (l.find("webapp/option:") != std::string::npos)
				out.push_back(l);
		}
		return out;
	}

	static std::vector<std::string> pushed()
	{
		std::vector<std::string> out;
		for (const auto &[endpoint, json] : fakes.pushes) {
			EXPECT_EQ(endpoint, WS_OPTIONS);
			out.push_back(json);
		}
		return out;
	}
};

TEST_F(Options, FirstStartReplaysTheDefaultsInOrder)
{
	ASSERT_EQ(webapp_options_init(), 0);

	EXPECT_EQ(fakes.engine, (std::vector<std::string>{"monorecord=1", "monostream=1",
							   "monostream=1", "monitoring=0"}));
	EXPECT_EQ(option_lines(), (std::vector<std::string>{
					  "I webapp/option: verbose: \n",
					  "I webapp/option: monorecord: true\n",
					  "I webapp/option: monostream: true\n",
					  "I webapp/option: monostream: true\n",
					  "I webapp/option: monitoring: \n",
				  }));
	std::vector<std::string> p = pushed();
	ASSERT_EQ(p.size(), 5u);
	// The follow-up of monorecord is stored before monorecord itself.
	EXPECT_EQ(p[1], R"({"verbose":"","monostream":"true"})");
	EXPECT_EQ(p[2], R"({"verbose":"","monostream":"true","monorecord":"true"})");
	EXPECT_EQ(p[4],
		  R"({"verbose":"","monorecord":"true","monostream":"true","monitoring":""})");
	EXPECT_EQ(get(), defaults);
	EXPECT_EQ(log_level_get(), LEVEL_INFO);

	ASSERT_TRUE(fakes.state[WS_OPTIONS]);
	EXPECT_EQ(fakes.state[WS_OPTIONS](), webapp_options());

	webapp_options_close();
	EXPECT_EQ(webapp_options(), nullptr);
	EXPECT_EQ(fakes.state[WS_OPTIONS], nullptr);
	EXPECT_EQ(get(), defaults);
}

TEST_F(Options, StoredFileIsFilteredAndReplayed)
{
	struct {
		const char *stored;
		std::vector<std::string> engine;
		const char *after;
		bool warned;
	} cases[] = {
		{R"({"record":"true","mute":"false","monitoring":"true","samplerate":"44100"})",
		 {"monorecord=1", "monostream=1", "monostream=1", "monitoring=1"},
		 R"({"monitoring":"true","monorecord":"true","monostream":"true","verbose":""})",
		 false},
		{R"({"monostream":"","monorecord":"","monitoring":7})",
		 {"monorecord=0", "monostream=0", "monorecord=0", "monitoring=0"},
		 R"({"monitoring":"","monorecord":"","monostream":"","verbose":""})", false},
		{"garbage", {"monorecord=1", "monostream=1", "monostream=1", "monitoring=0"},
		 defaults.c_str(), true},
		{R"({"verbose":"x"} {})",
		 {"monorecord=1", "monostream=1", "monostream=1", "monitoring=0"},
		 defaults.c_str(), true},
		{"", {"monorecord=1", "monostream=1", "monostream=1", "monitoring=0"},
		 defaults.c_str(), false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.stored);
		fakes.reset();
		put(c.stored);
		ASSERT_EQ(webapp_options_init(), 0);
		EXPECT_EQ(fakes.engine, c.engine);
		EXPECT_EQ(get(), c.after);
		const std::string warning = "W webapp/option: invalid " + file() + "\n";
		EXPECT_EQ(std::count(fakes.log.begin(), fakes.log.end(), warning), c.warned ? 1 : 0);
		webapp_options_close();
	}
}

TEST_F(Options, EachKeyActsAndStores)
{
	struct {
		const char *key;
		const char *value;
		std::vector<std::string> engine;
		size_t pushes;
		const char *file; // nullptr: unchanged
	} cases[] = {
		{"monorecord", "true", {"monorecord=1", "monostream=1"}, 2, nullptr},
		{"monostream", "", {"monostream=0", "monorecord=0"}, 2,
		 R"({"monitoring":"","monorecord":"","monostream":"","verbose":""})"},
		{"monorecord", "", {"monorecord=0"}, 1,
		 R"({"monitoring":"","monorecord":"","monostream":"true","verbose":""})"},
		{"monostream", "true", {"monostream=1"}, 1, nullptr},
		{"monostream", "false", {"monostream=0", "monorecord=0"}, 2,
		 R"({"monitoring":"","monorecord":"","monostream":"false","verbose":""})"},
		{"monitoring", "true", {"monitoring=1"}, 1,
		 R"({"monitoring":"true","monorecord":"true","monostream":"true","verbose":""})"},
		{"monitoring", "TRUE", {"monitoring=0"}, 1,
		 R"({"monitoring":"TRUE","monorecord":"true","monostream":"true","verbose":""})"},
		{"record", "", {"record=1"}, 1, nullptr},
		{"record", "true", {"record=1"}, 1, nullptr},
		{"record", "false", {"record=0"}, 1, nullptr},
		{"mute", "", {"mute=1"}, 1, nullptr},
		{"mute", "false", {"mute=0"}, 1, nullptr},
		{"onair", "false", {"stream stop"}, 1, nullptr},
		{"onair", "true", {"stream start"}, 1, nullptr},
		{"onair", "", {"stream start"}, 1, nullptr},
		{"samplerate", "44100", {}, 1, nullptr},
		{"bypass", "true", {}, 1, nullptr},
		{"raisehand", "true", {}, 1, nullptr},
		{"afk", "true", {}, 1, nullptr},
		{"mutee", "true", {}, 0, nullptr},
		{"Mute", "true", {}, 0, nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.key) + "=" + c.value);
		std::remove(file().c_str());
		start();
		webapp_option_request(c.key, c.value);
		EXPECT_EQ(fakes.engine, c.engine);
		EXPECT_EQ(fakes.pushes.size(), c.pushes);
		EXPECT_EQ(get(), c.file ? c.file : defaults);
		if (c.pushes) {
			// The last push ends with the outer key and its value.
			const std::string tail = std::string("\"") + c.key + "\":\"" + c.value + "\"}";
			const std::string &last = fakes.pushes.back().second;
			ASSERT_GE(last.size(), tail.size());
			EXPECT_EQ(last.substr(last.size() - tail.size()), tail);
			EXPECT_STREQ(webapp_option_get(c.key, nullptr), c.value);
		}
		else {
			EXPECT_EQ(option_lines().back(),
				  std::string("W webapp/option: ignoring unknown key ") + c.key + "\n");
			EXPECT_EQ(webapp_option_get(c.key, nullptr), nullptr);
		}
		webapp_options_close();
	}
}

TEST_F(Options, MonorecordOnBringsTwoPushesInOrder)
{
	start();
	webapp_option_request("monostream", "");
	fakes.reset();
	webapp_option_request("monorecord", "true");
	EXPECT_EQ(option_lines(), (std::vector<std::string>{
					  "I webapp/option: monorecord: true\n",
					  "I webapp/option: monostream: true\n",
				  }));
	EXPECT_EQ(pushed(), (std::vector<std::string>{
				    R"({"verbose":"","monitoring":"","monorecord":"","monostream":"true"})",
				    R"({"verbose":"","monitoring":"","monostream":"true","monorecord":"true"})",
			    }));
	EXPECT_EQ(get(), defaults);
}

TEST_F(Options, RecordFolderOpensTheFolderOnly)
{
	start();
	webapp_option_request("record-folder", "1");
	EXPECT_EQ(fakes.folder_opened, 1);
	EXPECT_TRUE(fakes.pushes.empty());
	EXPECT_TRUE(fakes.engine.empty());
	EXPECT_EQ(webapp_option_get("record-folder", nullptr), nullptr);
	EXPECT_EQ(option_lines(),
		  (std::vector<std::string>{"I webapp/option: record-folder: 1\n"}));
}

TEST_F(Options, AbsentKeyOrValueDoesNothing)
{
	start();
	webapp_option_request(nullptr, "true");
	webapp_option_request("mute", nullptr);
	webapp_option_request("record-folder", nullptr);
	EXPECT_TRUE(fakes.log.empty());
	EXPECT_TRUE(fakes.pushes.empty());
	EXPECT_TRUE(fakes.engine.empty());
	EXPECT_EQ(fakes.folder_opened, 0);
}

TEST_F(Options, RequestAfterCloseOnlyActs)
{
	start();
	webapp_option_request("monitoring", "true");
	webapp_options_close();
	const std::string saved = get();
	fakes.reset();
	webapp_option_request("record", "false");
	webapp_option_request("monitoring", "");
	EXPECT_EQ(fakes.engine, (std::vector<std::string>{"record=0", "monitoring=0"}));
	EXPECT_TRUE(fakes.pushes.empty());
	EXPECT_EQ(get(), saved);
}

TEST_F(Options, VerboseActsOnlyWhenItChanges)
{
	start();
	auto switched = [] {
		std::vector<std::string> out;
		for (const std::string &l : fakes.log) {
			if (l.find("verbose logging") != std::string::npos)
				out.push_back(l);
		}
		return out;
	};

	webapp_option_request("verbose", "true");
	EXPECT_EQ(log_level_get(), LEVEL_DEBUG);
	webapp_option_request("verbose", "true");
	EXPECT_EQ(switched(), (std::vector<std::string>{
				      "I webapp/option: verbose logging (SIP trace) enabled\n"}));
	EXPECT_EQ(fakes.pushes.size(), 2u);
	EXPECT_EQ(get(), R"({"monitoring":"","monorecord":"true","monostream":"true","verbose":"true"})");

	webapp_option_request("verbose", "yes");
	EXPECT_EQ(log_level_get(), LEVEL_INFO);
	webapp_option_request("verbose", "");
	EXPECT_EQ(switched().size(), 2u);
	EXPECT_EQ(switched().back(), "I webapp/option: verbose logging (SIP trace) disabled\n");
}

TEST_F(Options, StoredVerboseSwitchesDebugOnAtStart)
{
	put(R"({"verbose":"true"})");
	ASSERT_EQ(webapp_options_init(), 0);
	EXPECT_EQ(log_level_get(), LEVEL_DEBUG);
	EXPECT_EQ(std::count(fakes.log.begin(), fakes.log.end(),
			     "I webapp/option: verbose logging (SIP trace) enabled\n"),
		  1);
}

TEST_F(Options, PageTextsCannotForgeLogLines)
{
	start();
	webapp_option_request("mu\r\nINFO te", "a\x01\tb\x7f");
	EXPECT_EQ(option_lines(), (std::vector<std::string>{
					  "I webapp/option: mu\\r\\nINFO te: a\\x01\\tb\\x7f\n",
					  "W webapp/option: ignoring unknown key mu\\r\\nINFO te\n",
				  }));
}

TEST_F(Options, PersistedCopyKeepsTheFourStringsInTableOrder)
{
	struct odict *src = nullptr;
	ASSERT_EQ(odict_alloc(&src, 8), 0);
	odict_entry_add(src, "verbose", ODICT_STRING, "true");
	odict_entry_add(src, "record", ODICT_STRING, "true");
	odict_entry_add(src, "monitoring", ODICT_INT, 1LL);
	odict_entry_add(src, "monostream", ODICT_STRING, "");

	struct odict *copy = nullptr;
	ASSERT_EQ(webapp_options_persisted(&copy, src), 0);
	webapp_ws_send_json(WS_OPTIONS, copy);
	mem_deref(copy);
	ASSERT_EQ(webapp_options_persisted(&copy, nullptr), 0);
	webapp_ws_send_json(WS_OPTIONS, copy);
	mem_deref(copy);
	mem_deref(src);

	EXPECT_EQ(pushed(), (std::vector<std::string>{R"({"monostream":"","verbose":"true"})", "{}"}));
}

}
