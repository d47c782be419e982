// The tray's start, stop and menu state in this process, against a real
// session bus (run under dbus-run-session).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sipstack.h"
#include "tray.h"

namespace fs = std::filesystem;

namespace {

class Tray : public ::testing::Test {
protected:
	void SetUp() override
	{
		char pattern[] = "/tmp/zv-tray-thread-XXXXXX";
		ASSERT_NE(mkdtemp(pattern), nullptr);
		root = pattern;
		setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
		setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
		ASSERT_EQ(libre_init(), 0);
	}
	void TearDown() override
	{
		tray_close();
		libre_close();
		fs::remove_all(root);
	}

	// Whether another open file of the lock can take it.
	bool lock_free() const
	{
		int fd = open((root + "/zorvane/standalone.lock").c_str(), O_RDWR | O_CLOEXEC);
		if (fd < 0)
			return true;
		bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
		close(fd);
		return free;
	}
	std::string root;
};

std::string read_text(const std::string &path)
{
	FILE *f = std::fopen(path.c_str(), "r");
	if (!f)
		return "";
	std::string text;
	char buf[512];
	size_t n;
	while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
		text.append(buf, n);
	std::fclose(f);
	return text;
}

int commands_seen = 0;
int last_command = -1;

void record_command(int id, void *, void *)
{
	++commands_seen;
	last_command = id;
	re_cancel();
}

// Takes every free descriptor but `spare`; the taken ones are released
// when the list goes.
struct fd_fill {
	std::vector<int> fds;
	explicit fd_fill(int spare)
	{
		for (;;) {
			int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
			if (fd < 0)
				break;
			fds.push_back(fd);
		}
		for (int i = 0; i < spare && !fds.empty(); ++i) {
			close(fds.back());
			fds.pop_back();
		}
	}
	~fd_fill()
	{
		for (int fd : fds)
			close(fd);
	}
};

TEST_F(Tray, FailedStartKeepsTheInstanceLock)
{
	ASSERT_FALSE(instance_check());
	ASSERT_FALSE(lock_free());

	// With few descriptors left the queue cannot be made (its error comes
	// back at once), then the thread cannot make its wake-up (EINVAL).
	// A low limit keeps the descriptors within the event loop's range.
	struct rlimit saved, low;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
	low = saved;
	low.rlim_cur = 256;
	ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
	int err = EMFILE;
	for (int spare = 0; spare < 8 && err == EMFILE; ++spare) {
		fd_fill fill(spare);
		err = tray_init(record_command, "Zorvane test");
	}
	setrlimit(RLIMIT_NOFILE, &saved);
	EXPECT_EQ(err, EINVAL);

	// The process runs on without a tray, but still as the only instance.
	EXPECT_FALSE(lock_free());
	tray_close();
	EXPECT_TRUE(lock_free());
}

// A client connection of the test's own.
struct client {
	sd_bus *bus = nullptr;
	~client()
	{
		sd_bus_flush_close_unref(bus);
	}
};

const std::string item_name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";

bool name_owned(sd_bus *bus)
{
	sd_bus_error error = SD_BUS_ERROR_NULL;
	sd_bus_message *reply = nullptr;
	int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
				   "NameHasOwner", &error, &reply, "s", item_name.c_str());
	int owned = 0;
	if (r >= 0)
		sd_bus_message_read(reply, "b", &owned);
	sd_bus_message_unref(reply);
	sd_bus_error_free(&error);
	return owned;
}

bool wait_for_name(sd_bus *bus, bool owned)
{
	for (int i = 0; i < 100; ++i) {
		if (name_owned(bus) == owned)
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	return false;
}

// The "enabled" property of item 100 and the layout revision.
void open_entry_state(sd_bus *bus, bool *enabled, uint32_t *revision)
{
	sd_bus_error error = SD_BUS_ERROR_NULL;
	sd_bus_message *reply = nullptr;
	ASSERT_GE(sd_bus_call_method(bus, item_name.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout", &error,
				     &reply, "iias", 100, 0, 1, "enabled"),
		  0)
		<< error.message;
	int32_t id;
	int value = -1;
	ASSERT_GE(sd_bus_message_read(reply, "u", revision), 0);
	ASSERT_GT(sd_bus_message_enter_container(reply, 'r', "ia{sv}av"), 0);
	ASSERT_GE(sd_bus_message_read(reply, "i", &id), 0);
	EXPECT_EQ(id, 100);
	const char *key = nullptr;
	ASSERT_GE(sd_bus_message_read(reply, "a{sv}", 1, &key, "b", &value), 0);
	EXPECT_STREQ(key, "enabled");
	*enabled = value;
	sd_bus_message_unref(reply);
	sd_bus_error_free(&error);
}

int on_layout_updated(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	uint32_t revision = 0;
	int32_t parent = -1;
	if (sd_bus_message_read(m, "ui", &revision, &parent) >= 0 && parent == 0)
		*static_cast<uint32_t *>(userdata) = revision;
	return 0;
}

void stop_loop(void *)
{
	re_cancel();
}

TEST_F(Tray, OpenEntryFollowsThePortAndCommandsReachTheLoop)
{
	ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
	ASSERT_EQ(tray_init(record_command, "Zorvane test"), 0);

	client c;
	ASSERT_GE(sd_bus_open_user(&c.bus), 0);
	ASSERT_TRUE(wait_for_name(c.bus, true));

	bool enabled = true;
	uint32_t revision = 0;
	open_entry_state(c.bus, &enabled, &revision);
	EXPECT_FALSE(enabled);

	uint32_t announced = 0;
	const std::string match = "type='signal',sender='" + item_name +
				  "',path='/MenuBar',interface='com.canonical.dbusmenu',member='LayoutUpdated'";
	ASSERT_GE(sd_bus_add_match(c.bus, nullptr, match.c_str(), on_layout_updated, &announced), 0);

	tray_set_port(8123);
	for (int i = 0; i < 100 && !announced; ++i) {
		while (sd_bus_process(c.bus, nullptr) > 0) {
		}
		if (!announced)
			sd_bus_wait(c.bus, 50000);
	}
	EXPECT_GT(announced, revision);

	uint32_t now_revision = 0;
	open_entry_state(c.bus, &enabled, &now_revision);
	EXPECT_TRUE(enabled);
	EXPECT_EQ(now_revision, announced);

	// The recordings entry goes through the queue to the handler, on the
	// thread that runs the loop.
	sd_bus_error error = SD_BUS_ERROR_NULL;
	ASSERT_GE(sd_bus_call_method(c.bus, item_name.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event", &error,
				     nullptr, "isvu", 101, "clicked", "i", 0, 0u),
		  0)
		<< error.message;
	struct tmr guard;
	tmr_init(&guard);
	tmr_start(&guard, 10000, stop_loop, nullptr);
	commands_seen = 0;
	re_main(nullptr);
	tmr_cancel(&guard);
	EXPECT_EQ(commands_seen, 1);
	EXPECT_EQ(last_command, TRAY_CMD_OPEN_RECORDINGS);

	tray_close();
	EXPECT_TRUE(wait_for_name(c.bus, false));
	EXPECT_TRUE(lock_free());
}

// Event 102 for a configuration directory that the log folder's buffer
// takes, and for one that it does not.
TEST_F(Tray, LogEntryOpensTheLogFolderWhenItIsKnown)
{
	const std::string opened = root + "/opened.txt";
	const std::string opener = root + "/opener.sh";
	{
		FILE *f = std::fopen(opener.c_str(), "w");
		ASSERT_NE(f, nullptr);
		std::fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n", opened.c_str());
		std::fclose(f);
		chmod(opener.c_str(), 0755);
	}
	setenv("ZORVANE_OPENER", opener.c_str(), 1);

	client c;
	ASSERT_GE(sd_bus_open_user(&c.bus), 0);
	struct dir_case {
		std::string dir;
		std::string expected;
	};
	const std::string long_dir = root + "/" + std::string(300, 'd');
	const dir_case cases[] = {
		{root + "/conf", root + "/conf/logs\n"},
		{long_dir, ""},
	};
	for (const dir_case &dc : cases) {
		SCOPED_TRACE(dc.dir.size());
		fs::remove(opened);
		ASSERT_EQ(zv_conf_path_set(dc.dir.c_str()), 0);
		ASSERT_EQ(tray_init(record_command, "Zorvane test"), 0);
		ASSERT_TRUE(wait_for_name(c.bus, true));

		sd_bus_error error = SD_BUS_ERROR_NULL;
		ASSERT_GE(sd_bus_call_method(c.bus, item_name.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event",
					     &error, nullptr, "isvu", 102, "clicked", "i", 0, 0u),
			  0)
			<< error.message;
		sd_bus_error_free(&error);
		// The opener runs on its own; give it time to record.
		std::string got;
		for (int i = 0; i < 40 && (got.empty() || got != dc.expected); ++i) {
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
			got = read_text(opened);
		}
		EXPECT_EQ(got, dc.expected);
		tray_close();
		ASSERT_TRUE(wait_for_name(c.bus, false));
	}
	unsetenv("ZORVANE_OPENER");
}

}
