// The engine on real PortAudio streams of a JACK server with the dummy
// backend: start, device dictionary, watchdog restart, device commands.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include <jack/jack.h>
#include <pa_jack.h>

#include "engine.h"
#include "fakes.h"
#include "jack_server.h"

namespace {

std::mutex log_mutex;
std::vector<std::string> log_lines;

void collect_log(uint32_t level, const char *msg)
{
	(void)level;
	std::lock_guard<std::mutex> lock(log_mutex);
	log_lines.emplace_back(msg);
}

struct log log_handler = {{}, collect_log};

bool logged(const std::string &text)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	for (const auto &l : log_lines)
		if (l.find(text) != std::string::npos)
			return true;
	return false;
}

void run_loop(uint32_t ms)
{
	struct tmr t;
	tmr_init(&t);
	tmr_start(&t, ms, [](void *) { re_cancel(); }, nullptr);
	re_main(nullptr);
	tmr_cancel(&t);
}

const struct odict *array_of(const char *key)
{
	const struct odict_entry *e = odict_lookup(zvaudio_info(), key);
	return e && e->type == ODICT_ARRAY ? e->u.odict : nullptr;
}

const struct odict *entry_of(const struct odict *array, int index)
{
	int i = 0;
	for (struct le *le = array ? array->lst.head : nullptr; le; le = le->next, ++i)
		if (i == index)
			return static_cast<const struct odict_entry *>(le->data)->u.odict;
	return nullptr;
}

int64_t int_of(const struct odict *o, const char *key)
{
	const struct odict_entry *e = odict_lookup(o, key);
	return e && e->type == ODICT_INT ? e->u.integer : -1000;
}

bool bool_of(const struct odict *o, const char *key)
{
	const struct odict_entry *e = odict_lookup(o, key);
	return e && e->type == ODICT_BOOL && e->u.boolean;
}

int jack_host_api_index()
{
	const struct odict *drivers = array_of("drivers");
	for (int i = 0; const struct odict *d = entry_of(drivers, i); ++i)
		if (std::string(odict_string(d, "display") ?: "") == "JACK")
			return int(int_of(d, "id"));
	return -1;
}

jack_server server;

}

class jack_stream_test : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ASSERT_TRUE(server.start());
	}
	static void TearDownTestSuite()
	{
		server.stop();
	}
	void SetUp() override
	{
		fakes.reset();
		{
			std::lock_guard<std::mutex> lock(log_mutex);
			log_lines.clear();
		}
		ASSERT_EQ(0, exports_zvaudio.init());
	}
	void TearDown() override
	{
		exports_zvaudio.close();
	}
};

TEST_F(jack_stream_test, start_lists_the_devices_and_runs_periods)
{
	ASSERT_TRUE(zvaudio_running());
	EXPECT_TRUE(logged("zvaudio/start: success"));
	EXPECT_TRUE(logged("zvaudio ready"));

	// "drivers", "input", "output", in that order, and no error.
	std::vector<std::string> keys;
	for (struct le *le = zvaudio_info()->lst.head; le; le = le->next)
		keys.emplace_back(static_cast<const struct odict_entry *>(le->data)->key);
	EXPECT_EQ((std::vector<std::string>{"drivers", "input", "output"}), keys);

	const int jack = jack_host_api_index();
	ASSERT_GE(jack, 0);
	const struct odict *drivers = array_of("drivers");
	for (int i = 0; const struct odict *d = entry_of(drivers, i); ++i)
		EXPECT_EQ(int_of(d, "id") == jack, bool_of(d, "selected"));

	const struct odict *input = entry_of(array_of("input"), 0);
	ASSERT_TRUE(input);
	EXPECT_STREQ("system", odict_string(input, "display"));
	EXPECT_EQ(2, int_of(input, "channels"));
	EXPECT_EQ(0, int_of(input, "first_input_channel"));
	EXPECT_TRUE(bool_of(input, "selected"));
	const struct odict *output = entry_of(array_of("output"), 0);
	ASSERT_TRUE(output);
	EXPECT_TRUE(bool_of(output, "selected"));
	EXPECT_FALSE(odict_lookup(output, "channels"));
	EXPECT_EQ(48000.0, zva.stream.load()->in_rate);

	const uint64_t before = zva.total_frames;
	run_loop(1000);
	const uint64_t frames = zva.total_frames - before;
	EXPECT_GT(frames, 30000u);
	EXPECT_LT(frames, 70000u);
	EXPECT_TRUE(zva.stream.load()->started.load());
}

TEST_F(jack_stream_test, watchdog_restarts_a_stream_that_stopped)
{
	ASSERT_TRUE(zvaudio_running());
	run_loop(300);
	zva.test_abort = true;
	run_loop(300);
	zva.test_abort = false;
	run_loop(2000);
	EXPECT_TRUE(logged("zvaudio: audio stream stopped, restarting"));
	EXPECT_TRUE(logged("zvaudio/reset"));
	ASSERT_TRUE(zvaudio_running());
	EXPECT_EQ(1u, fakes.audio_pushes);
	const uint64_t before = zva.total_frames;
	run_loop(500);
	EXPECT_GT(zva.total_frames, before);
}

TEST_F(jack_stream_test, device_commands)
{
	const int jack = jack_host_api_index();
	ASSERT_GE(jack, 0);
	const int system = int(int_of(entry_of(array_of("input"), 0), "id"));

	// An input that does not exist falls back to the host API's default.
	EXPECT_EQ(0, zvaudio_set_input(9999));
	EXPECT_TRUE(zvaudio_running());
	EXPECT_EQ(system, zva.input_index);
	EXPECT_TRUE(bool_of(entry_of(array_of("input"), 0), "selected"));

	struct channel_case {
		int asked, listed;
	};
	for (channel_case c : {channel_case{1, 1}, {2, 0}, {99, 99}, {-3, 0}}) {
		EXPECT_EQ(0, zvaudio_set_first_input_channel(c.asked));
		EXPECT_EQ(c.listed, int_of(entry_of(array_of("input"), 0), "first_input_channel")) << c.asked;
		EXPECT_TRUE(zvaudio_running());
	}

	EXPECT_EQ(0, zvaudio_set_output(-7));
	EXPECT_TRUE(zvaudio_running());

	// A host API without devices: the start fails and the page is told.
	const int n = Pa_GetHostApiCount();
	int empty = -1;
	for (int i = 0; i < n; ++i)
		if (i != jack && Pa_GetHostApiInfo(i)->deviceCount == 0)
			empty = i;
	if (empty >= 0) {
		fakes.reset();
		EXPECT_EQ(0, zvaudio_set_host_api(empty));
		EXPECT_FALSE(zvaudio_running());
		ASSERT_EQ(2u, fakes.audio_pushes);
		EXPECT_EQ(std::string::npos, fakes.pushed_json[0].find("error_msg"));
		EXPECT_NE(std::string::npos,
			  fakes.pushed_json[1].find("\"error_msg\":\"Error starting Audio, please try reload or select another device...\""));
		EXPECT_TRUE(logged("zvaudio/start: invalid input device"));
		EXPECT_TRUE(logged("zvaudio/start: error Invalid argument [22]"));
		EXPECT_TRUE(zva.device_error);

		// A reload retries the same host API after the pause.
		EXPECT_EQ(0, zvaudio_reload());
		EXPECT_FALSE(zvaudio_running());
	}

	// An index beyond the host APIs means the default choice, JACK here.
	EXPECT_EQ(0, zvaudio_set_host_api(n + 3));
	EXPECT_EQ(jack, zva.host_api_index);
	EXPECT_TRUE(zvaudio_running());
	run_loop(300);
	EXPECT_GT(zva.total_frames, 0u);
}

// The old streams' connections are taken away before they stop; those of
// the new streams, made as they start, stay.
TEST_F(jack_stream_test, a_restart_leaves_the_new_streams_connected)
{
	for (int restart = 0; restart < 2; ++restart) {
		ASSERT_EQ(0, zvaudio_reload());
		ASSERT_TRUE(zvaudio_running());
		const char *name = nullptr;
		ASSERT_EQ(paNoError, PaJack_GetClientName(&name));
		jack_client_t *look = jack_client_open("zvaudio-look", JackNoStartServer, nullptr);
		ASSERT_TRUE(look);
		const std::string pattern = "^" + std::string(name) + ":";
		const char **ports = jack_get_ports(look, pattern.c_str(), nullptr, 0);
		size_t n = 0;
		for (; ports && ports[n]; ++n) {
			const char **links = jack_port_get_all_connections(look, jack_port_by_name(look, ports[n]));
			EXPECT_TRUE(links && links[0]) << ports[n];
			jack_free(links);
		}
		EXPECT_EQ(4u, n);
		jack_free(ports);
		jack_client_close(look);
	}
}

TEST_F(jack_stream_test, close_logs_the_counters_once_more)
{
	exports_zvaudio.close();
	EXPECT_TRUE(logged("zvaudio_debug\n\tout_ur: "));
	EXPECT_FALSE(zvaudio_running());
	ASSERT_EQ(0, exports_zvaudio.init());
}

TEST_F(jack_stream_test, set_error_shows_on_the_page)
{
	std::string text(600, 'x');
	zvaudio_set_error(text.c_str());
	ASSERT_EQ(1u, fakes.audio_pushes);
	const char *shown = odict_string(zvaudio_info(), "error_msg");
	ASSERT_TRUE(shown);
	EXPECT_EQ(511u, strlen(shown));
	struct le *last = zvaudio_info()->lst.tail;
	EXPECT_STREQ("error_msg", static_cast<const struct odict_entry *>(last->data)->key);
}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	char home[] = "/tmp/zvaudio-stream-XXXXXX";
	if (!mkdtemp(home))
		return 1;
	setenv("HOME", home, 1);
	unsetenv("XDG_CONFIG_HOME");
	libre_init();
	log_register_handler(&log_handler);
	int rc = RUN_ALL_TESTS();
	log_unregister_handler(&log_handler);
	libre_close();
	std::system((std::string("rm -rf ") + home).c_str());
	return rc;
}
