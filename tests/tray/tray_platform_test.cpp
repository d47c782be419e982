// The platform layer under the single-instance guard: the private runtime
// folder, the lock, the port query socket and the state files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "instance_lock.h"
#include "instance_port.h"
#include "runtime_dir.h"
#include "state_file.h"

namespace fs = std::filesystem;

namespace {

class TempEnv : public ::testing::Test {
protected:
	void SetUp() override
	{
		char pattern[] = "/tmp/zv-tray-test-XXXXXX";
		ASSERT_NE(mkdtemp(pattern), nullptr);
		root = pattern;
		setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
		setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
	}
	void TearDown() override
	{
		fs::remove_all(root);
	}
	std::string rt() const
	{
		return root + "/zorvane";
	}
	std::string root;
};

std::string read_file(const std::string &path)
{
	std::ifstream in(path);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

using RuntimeDir = TempEnv;

TEST_F(RuntimeDir, CreatedPrivate)
{
	char dir[256];
	ASSERT_EQ(zv_runtime_dir(dir, sizeof(dir)), 0);
	EXPECT_EQ(std::string(dir), rt());
	struct stat st;
	ASSERT_EQ(lstat(dir, &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_mode & 0777, 0700u);
	// An existing private folder is taken as it is.
	EXPECT_EQ(zv_runtime_dir(dir, sizeof(dir)), 0);
}

TEST_F(RuntimeDir, RefusesWhatIsNotPrivate)
{
	struct refusal {
		const char *what;
		void (*make)(const std::string &path, const std::string &root);
	};
	const refusal cases[] = {
		{"group-readable folder", [](const std::string &p, const std::string &) { mkdir(p.c_str(), 0750); }},
		{"world-writable folder", [](const std::string &p, const std::string &) { mkdir(p.c_str(), 0777); chmod(p.c_str(), 0777); }},
		{"link to a private folder",
		 [](const std::string &p, const std::string &r) {
			 mkdir((r + "/elsewhere").c_str(), 0700);
			 (void)symlink((r + "/elsewhere").c_str(), p.c_str());
		 }},
		{"plain file", [](const std::string &p, const std::string &) { std::ofstream(p) << "x"; }},
		{"another user's folder",
		 [](const std::string &p, const std::string &) {
			 mkdir(p.c_str(), 0700);
			 (void)chown(p.c_str(), getuid() + 1, getgid());
		 }},
	};
	for (const refusal &c : cases) {
		SCOPED_TRACE(c.what);
		fs::remove_all(rt());
		fs::remove_all(root + "/elsewhere");
		c.make(rt(), root);
		if (std::string(c.what) == "another user's folder" && getuid() != 0)
			continue; // only root can give a folder away
		char dir[256];
		EXPECT_EQ(zv_runtime_dir(dir, sizeof(dir)), EPERM);
		int fd = -1;
		EXPECT_NE(zv_instance_lock(&fd), 0);
		EXPECT_NE(zv_instance_lock(&fd), EWOULDBLOCK);
	}
}

TEST_F(RuntimeDir, RelativeRuntimeFolderIsIgnored)
{
	setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
	char dir[256];
	ASSERT_EQ(zv_runtime_dir(dir, sizeof(dir)), 0);
	EXPECT_EQ(std::string(dir), "/tmp/zorvane-" + std::to_string(getuid()));
}

using InstanceLock = TempEnv;

TEST_F(InstanceLock, OneHolderUntilReleased)
{
	int first = -1, second = -1;
	ASSERT_EQ(zv_instance_lock(&first), 0);
	EXPECT_EQ(zv_instance_lock(&second), EWOULDBLOCK);
	// Not inherited by programs we start.
	EXPECT_TRUE(fcntl(first, F_GETFD) & FD_CLOEXEC);
	zv_instance_unlock(first);
	ASSERT_EQ(zv_instance_lock(&second), 0);
	zv_instance_unlock(second);
}

using InstancePort = TempEnv;

TEST_F(InstancePort, AnswersThePort)
{
	uint16_t port = 1;
	EXPECT_EQ(zv_instance_port_query(&port, 200), ENOENT);

	int sock = -1;
	ASSERT_EQ(zv_instance_port_listen(&sock), 0);
	for (uint16_t value : {uint16_t(0), uint16_t(8123), uint16_t(65535)}) {
		std::thread server([&] {
			struct pollfd pfd = {sock, POLLIN, 0};
			if (poll(&pfd, 1, 5000) == 1)
				zv_instance_port_answer(sock, value);
		});
		port = 1;
		EXPECT_EQ(zv_instance_port_query(&port, 5000), 0);
		EXPECT_EQ(port, value);
		server.join();
	}

	// A server that accepts nothing: the query gives up at its time-out.
	EXPECT_EQ(zv_instance_port_query(&port, 200), ETIMEDOUT);

	zv_instance_port_close(sock);
	EXPECT_FALSE(fs::exists(rt() + "/standalone.sock"));
	EXPECT_EQ(zv_instance_port_query(&port, 200), ENOENT);
}

TEST_F(InstancePort, StaleSocketIsReplaced)
{
	int stale = -1, sock = -1;
	ASSERT_EQ(zv_instance_port_listen(&stale), 0);
	close(stale); // as a killed instance leaves it: the path stays
	uint16_t port;
	EXPECT_EQ(zv_instance_port_query(&port, 200), ECONNREFUSED);
	ASSERT_EQ(zv_instance_port_listen(&sock), 0);
	zv_instance_port_close(sock);
}

using StateFile = TempEnv;

TEST_F(StateFile, WrittenWholeAndReadBack)
{
	uint32_t value = 7;
	EXPECT_EQ(zv_state_get_u32("TrayHintShown", &value), ENOENT);

	ASSERT_EQ(zv_state_set_u32("TrayHintShown", 1), 0);
	const std::string dir = root + "/state/zorvane";
	EXPECT_EQ(read_file(dir + "/TrayHintShown"), "1\n");
	ASSERT_EQ(zv_state_get_u32("TrayHintShown", &value), 0);
	EXPECT_EQ(value, 1u);
	ASSERT_EQ(zv_state_set_u32("TrayHintShown", 0), 0);
	ASSERT_EQ(zv_state_get_u32("TrayHintShown", &value), 0);
	EXPECT_EQ(value, 0u);

	// Nothing but the value's file is left behind.
	size_t files = 0;
	for (const auto &entry : fs::directory_iterator(dir))
		files += entry.is_regular_file();
	EXPECT_EQ(files, 1u);
}

TEST_F(StateFile, UnreadableContentIsNoValue)
{
	const std::string dir = root + "/state/zorvane";
	fs::create_directories(dir);
	for (const char *text : {"", "yes\n", "1 2\n", "-1\n", "99999999999\n"}) {
		SCOPED_TRACE(text);
		std::ofstream(dir + "/TrayHintShown") << text;
		uint32_t value = 7;
		EXPECT_EQ(zv_state_get_u32("TrayHintShown", &value), EPROTO);
		EXPECT_EQ(value, 7u);
	}
	uint32_t value;
	EXPECT_EQ(zv_state_get_u32("../x", &value), EINVAL);
	EXPECT_EQ(zv_state_set_u32("", 1), EINVAL);
}

TEST_F(StateFile, HomeFallback)
{
	unsetenv("XDG_STATE_HOME");
	const char *old_home = std::getenv("HOME");
	std::string saved = old_home ? old_home : "";
	setenv("HOME", root.c_str(), 1);
	EXPECT_EQ(zv_state_set_u32("TrayHintShown", 1), 0);
	EXPECT_EQ(read_file(root + "/.local/state/zorvane/TrayHintShown"), "1\n");
	if (old_home)
		setenv("HOME", saved.c_str(), 1);
}

}
