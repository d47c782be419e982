#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings_file.h"
#include "file.h"
#include "json.h"

namespace {

class Files : public testing::Test {
protected:
	std::string dir;

	void SetUp() override
	{
		char tmpl[] = "/tmp/webapp-files-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
	}

	void TearDown() override
	{
		std::string cmd = "rm -rf '" + dir + "'";
		(void)std::system(cmd.c_str());
	}

	std::string path(const char *name) const
	{
		return dir + "/" + name;
	}

	static void put(const std::string &file, const std::string &bytes)
	{
		std::ofstream(file, std::ios::binary) << bytes;
	}

	static std::string get(const std::string &file)
	{
		std::ifstream in(file, std::ios::binary);
		std::stringstream ss;
		ss << in.rdbuf();
		return ss.str();
	}

	static bool exists(const std::string &file)
	{
		return access(file.c_str(), F_OK) == 0;
	}
};

struct odict *decode(const std::string &s)
{
	struct odict *o = nullptr;
	EXPECT_EQ(webapp_json_decode(&o, s.data(), s.size()), 0) << s;
	return o;
}

std::string encode(const struct odict *o)
{
	char buf[4096];
	EXPECT_GT(re_snprintf(buf, sizeof(buf), "%H", json_encode_odict, o), 0);
	return buf;
}

// Keys of a record dictionary in its order.
std::string keys(const struct odict *o)
{
	std::string s;
	for (const struct le *le = o->lst.head; le; le = le->next)
		s += std::string(static_cast<const struct odict_entry *>(le->data)->key) + " ";
	return s;
}

TEST_F(Files, ReadsOnlyRegularFilesOfSettingsSize)
{
	std::string bytes;
	for (int i = 0; bytes.size() < 20000; ++i)
		bytes += std::to_string(i) + ",";
	put(path("whole"), bytes);
	put(path("limit"), std::string(ZV_SETTINGS_MAX, 'x'));
	put(path("over"), std::string(ZV_SETTINGS_MAX + 1, 'x'));
	ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
	ASSERT_EQ(mkdir(path("folder").c_str(), 0700), 0);

	const struct {
		const char *name;
		int err;
		size_t size;
	} cases[] = {
		{"whole", 0, bytes.size()}, {"limit", 0, ZV_SETTINGS_MAX}, {"over", EFBIG, 0},
		{"fifo", EINVAL, 0},	    {"folder", EISDIR, 0},	  {"none", ENOENT, 0},
	};
	for (const auto &c : cases) {
		std::string text = "old";
		EXPECT_EQ(zv_settings_read(path(c.name).c_str(), text), c.err) << c.name;
		EXPECT_EQ(text.size(), c.size) << c.name;
	}
	std::string text;
	ASSERT_EQ(zv_settings_read(path("whole").c_str(), text), 0);
	EXPECT_EQ(text, bytes);
}

TEST_F(Files, LoadTellsMissingFromDamaged)
{
	struct odict *o = nullptr;
	EXPECT_EQ(webapp_json_load(&o, path("missing.json").c_str()), ENOENT);
	// Only a missing file is missing: one that cannot be read is damaged.
	ASSERT_EQ(mkdir(path("folder.json").c_str(), 0700), 0);
	EXPECT_EQ(webapp_json_load(&o, path("folder.json").c_str()), EISDIR);

	put(path("empty.json"), "");
	ASSERT_EQ(webapp_json_load(&o, path("empty.json").c_str()), 0);
	EXPECT_EQ(odict_count(o, false), 0u);
	o = static_cast<struct odict *>(mem_deref(o));

	put(path("crlf.json"), "{\"0\":{\"name\":\"a\"}}\r\n");
	ASSERT_EQ(webapp_json_load(&o, path("crlf.json").c_str()), 0);
	EXPECT_EQ(odict_count(o, false), 1u);
	o = static_cast<struct odict *>(mem_deref(o));

	for (const char *damaged : {"garbage", "{\"0\":{}", "{\"0\":{},\"0\":{}}", "[{}]"}) {
		put(path("bad.json"), damaged);
		EXPECT_NE(webapp_json_load(&o, path("bad.json").c_str()), 0) << damaged;
		EXPECT_NE(webapp_json_load(&o, path("bad.json").c_str()), ENOENT) << damaged;
		EXPECT_EQ(o, nullptr);
	}
}

TEST_F(Files, WritesCompactJsonAndTexts)
{
	ASSERT_EQ(webapp_json_write(nullptr, path("a.json").c_str()), 0);
	EXPECT_TRUE(exists(path("a.json")));
	EXPECT_EQ(get(path("a.json")), "");

	struct odict *empty = decode("");
	ASSERT_EQ(webapp_json_write(empty, path("a.json").c_str()), 0);
	EXPECT_EQ(get(path("a.json")), "{}");
	mem_deref(empty);

	struct odict *o = decode("{ \"0\" : { \"sip\" : \"a/b\", \"on\" : true } }");
	ASSERT_EQ(webapp_json_write(o, path("a.json").c_str()), 0);
	EXPECT_EQ(get(path("a.json")), "{\"0\":{\"sip\":\"a\\/b\",\"on\":true}}");
	mem_deref(o);

	ASSERT_EQ(webapp_file_write("x\ty\n", path("t.conf").c_str()), 0);
	EXPECT_EQ(get(path("t.conf")), "x\ty\n");
	EXPECT_FALSE(exists(path("t.conf.tmp")));

	EXPECT_EQ(webapp_file_write("x", (dir + "/no/such/dir").c_str()), ENOENT);
}

TEST_F(Files, NewFileGetsItsModeAndReplacedFileKeepsIts)
{
	const std::string file = path("accounts.json");
	struct stat st;
	// A temporary file that a killed start left behind is made afresh.
	put(file + ".tmp", "left");
	ASSERT_EQ(chmod((file + ".tmp").c_str(), 0644), 0);
	ASSERT_EQ(webapp_json_write(nullptr, file.c_str(), 0600), 0);
	ASSERT_EQ(stat(file.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);

	ASSERT_EQ(chmod(file.c_str(), 0640), 0);
	ASSERT_EQ(webapp_file_write("{\"0\":{}}", file.c_str()), 0);
	ASSERT_EQ(stat(file.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(get(file), "{\"0\":{}}");
	EXPECT_FALSE(exists(file + ".tmp"));
}

// A write that the file system refuses halfway leaves the old file as it
// was. Runs in a child, since the size limit holds for the whole process.
TEST_F(Files, FailedWriteKeepsOldFile)
{
	const std::string file = path("accounts.json");
	const std::string old = "{\"0\":{\"user\":\"kept\"}}";
	put(file, old);

	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		signal(SIGXFSZ, SIG_IGN);
		struct rlimit lim = {16, 16};
		setrlimit(RLIMIT_FSIZE, &lim);
		int err = webapp_file_write(std::string(100000, 'x').c_str(), file.c_str());
		_exit(err == EFBIG ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0);
	EXPECT_EQ(get(file), old);
	EXPECT_FALSE(exists(file + ".tmp"));
}

TEST(Records, LowestFreeKeyAndStringMembersOnly)
{
	struct odict *d = decode("{\"0\":{},\"1\":{},\"3\":{}}");
	struct odict *rec = decode("{\"command\":\"addcontact\",\"name\":\"N\",\"n\":5,"
				   "\"o\":{},\"sip\":\"s\"}");
	ASSERT_EQ(webapp_record_add(d, rec), 0);
	EXPECT_EQ(keys(d), "0 1 3 2 ");
	const struct odict_entry *added = odict_lookup(d, "2");
	ASSERT_NE(added, nullptr);
	EXPECT_EQ(encode(added->u.odict), "{\"name\":\"N\",\"sip\":\"s\"}");

	// A deleted "0" is taken again and listed last.
	mem_deref(const_cast<struct odict_entry *>(odict_lookup(d, "0")));
	ASSERT_EQ(webapp_record_add(d, rec), 0);
	EXPECT_EQ(keys(d), "1 3 2 0 ");

	EXPECT_EQ(webapp_record_add(d, nullptr), 0);
	EXPECT_EQ(odict_count(d, false), 4u);
	mem_deref(rec);
	mem_deref(d);
}

TEST(Records, HundredKeysRefuseMore)
{
	struct odict *d = decode("");
	struct odict *rec = decode("{\"name\":\"x\"}");
	for (int i = 0; i < 100; ++i)
		ASSERT_EQ(webapp_record_add(d, rec), 0);
	EXPECT_NE(odict_lookup(d, "99"), nullptr);
	EXPECT_EQ(webapp_record_add(d, rec), ENOSPC);
	EXPECT_EQ(odict_count(d, false), 100u);
	EXPECT_EQ(odict_lookup(d, "100"), nullptr);
	mem_deref(rec);
	mem_deref(d);
}

}
