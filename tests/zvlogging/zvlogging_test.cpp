#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zvlogging.h"

namespace {

class FileLog : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/zvlogging-XXXXXX";
		dir = mkdtemp(tmpl);
		ASSERT_EQ(0, zv_conf_path_set(dir.c_str()));
		ASSERT_EQ(0, zvlogging_init());
	}

	void TearDown() override
	{
		zvlogging_close();
		std::system(("rm -rf " + dir).c_str());
	}

	std::vector<std::string> lines()
	{
		std::ifstream f(dir + "/logs/zorvane.0.log");
		std::vector<std::string> out;
		for (std::string l; std::getline(f, l);)
			out.push_back(l);
		return out;
	}

	std::string dir;
};

TEST_F(FileLog, LineFormat)
{
	struct {
		uint32_t level;
		const char *msg;
		const char *written;
	} cases[] = {
		{1, "abc", "INFO  abc"},
		{1, "abc\n", "INFO  abc"},
		{0, "", "DEBUG "},
		{2, "two\nlines", "WARN  two"},
		{3, "e", "ERROR e"},
		{7, "seven", "ERROR seven"},
	};
	for (auto &c : cases)
		zvlogging_log_handler(c.level, c.msg);
	zvlogging_log_handler(1, nullptr);

	auto all = lines();
	// The six start lines come first; then one line per message, and the
	// second line of the two-line message stands alone.
	ASSERT_EQ(all.size(), 6u + 7u);
	const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
	size_t at = 6;
	for (auto &c : cases) {
		const std::string &l = all[at++];
		ASSERT_TRUE(std::regex_search(l, stamp)) << l;
		EXPECT_EQ(l.substr(20), c.written);
		if (std::string(c.msg) == "two\nlines")
			EXPECT_EQ(all[at++], "lines");
	}
}

TEST_F(FileLog, LinesOfManyThreadsStayWhole)
{
	constexpr int threads = 8, per_thread = 5000;
	std::vector<std::thread> pool;
	for (int t = 0; t < threads; t++) {
		pool.emplace_back([t] {
			for (int i = 0; i < per_thread; i++) {
				std::string msg = "thread " + std::to_string(t) + " line " + std::to_string(i) +
						  " " + std::string(100, 'a' + t) + "\n";
				zvlogging_log_handler(1, msg.c_str());
			}
		});
	}
	for (auto &th : pool)
		th.join();

	const std::regex whole("^\\S+ \\S+ INFO  thread (\\d) line \\d+ ([a-h])\\2{99}$");
	int count = 0;
	for (auto &l : lines()) {
		if (l.find(" thread ") == std::string::npos)
			continue;
		std::smatch m;
		ASSERT_TRUE(std::regex_match(l, m, whole)) << l;
		EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
		count++;
	}
	EXPECT_EQ(count, threads * per_thread);
}

TEST_F(FileLog, CloseWhileOtherThreadsLog)
{
	std::atomic<bool> stop{false};
	std::vector<std::thread> pool;
	for (int t = 0; t < 4; t++) {
		pool.emplace_back([&] {
			while (!stop.load())
				zvlogging_log_handler(1, "racing the close\n");
		});
	}
	for (int round = 0; round < 50; round++) {
		zvlogging_close();
		ASSERT_EQ(0, zvlogging_init());
	}
	stop = true;
	for (auto &th : pool)
		th.join();
}

}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	libre_init();
	int result = RUN_ALL_TESTS();
	libre_close();
	return result;
}
