// The recorder fed through the engine period with synthetic input; the
// files are checked with Debian's flac and metaflac.
#include "engine_fixture.h"
#include "record.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::mutex log_mutex;
std::vector<std::string> log_lines;

void collect_log(uint32_t, const char *msg)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	log_lines.emplace_back(msg);
}

struct log log_handler = {{}, collect_log};

size_t count_logged(const std::string &text)
{
	std::lock_guard<std::mutex> lock(log_mutex);
	size_t n = 0;
	for (const auto &l : log_lines)
		n += l.find(text) != std::string::npos;
	return n;
}

void run_loop(uint32_t ms)
{
	struct tmr t;
	tmr_init(&t);
	tmr_start(&t, ms, [](void *) { re_cancel(); }, nullptr);
	re_main(nullptr);
	tmr_cancel(&t);
}

std::string shell(const std::string &cmd)
{
	std::string out;
	FILE *p = popen(cmd.c_str(), "r");
	char buf[4096];
	size_t n;
	while (p && (n = fread(buf, 1, sizeof(buf), p)) > 0)
		out.append(buf, n);
	if (p)
		pclose(p);
	return out;
}

std::vector<int16_t> decode(const fs::path &flac)
{
	const fs::path raw = flac.string() + ".raw";
	std::system(("flac -d -s -f --force-raw-format --endian=little --sign=signed -o '" + raw.string() +
		     "' '" + flac.string() + "'").c_str());
	std::ifstream in(raw, std::ios::binary);
	std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
	std::vector<int16_t> v(bytes.size() / 2);
	if (!v.empty())
		std::memcpy(v.data(), bytes.data(), v.size() * 2);
	fs::remove(raw);
	return v;
}

std::string metaflac(const std::string &args, const fs::path &flac)
{
	return shell("metaflac " + args + " '" + flac.string() + "' 2>&1");
}

// Deterministic noise over the whole 16-bit range but -32768.
struct noise {
	uint32_t x = 12345;
	int16_t next()
	{
		x = x * 1664525u + 1013904223u;
		return int16_t(int32_t(x >> 16) % 32767);
	}
};

}

class record_test : public engine_test {
protected:
	void SetUp() override
	{
		engine_test::SetUp();
		home = fs::temp_directory_path() / ("zvrec-" + std::to_string(getpid()) + "-" +
						     ::testing::UnitTest::GetInstance()->current_test_info()->name());
		fs::remove_all(home);
		fs::create_directories(home);
		setenv("HOME", home.c_str(), 1);
		unsetenv("XDG_CONFIG_HOME");
		{
			std::lock_guard<std::mutex> lock(log_mutex);
			log_lines.clear();
		}
		zvaudio_record_init();
	}
	void TearDown() override
	{
		zvaudio_record_close();
		engine_test::TearDown();
		fs::remove_all(home);
	}

	// One period of 480 frames; the local values fed are kept.
	void feed(int16_t l, int16_t r)
	{
		std::vector<float> in = stereo(480, float(l) / 32768.0f, float(r) / 32768.0f);
		period(in.data(), 480);
	}
	void feed_noise(int periods, std::vector<int16_t> *fed = nullptr)
	{
		for (int p = 0; p < periods; ++p) {
			std::vector<float> in(960);
			for (float &v : in) {
				int16_t x = gen.next();
				v = float(x) / 32768.0f;
				if (fed)
					fed->push_back(x);
			}
			period(in.data(), 480);
		}
	}
	// Waits until n more files have closed since the recording started.
	bool wait_closed(size_t n, uint32_t max_ms = 5000)
	{
		for (uint32_t t = 0; t < max_ms; t += 20) {
			if (count_logged("closed (") >= n)
				return true;
			run_loop(20);
		}
		return false;
	}
	std::vector<fs::path> folders()
	{
		std::vector<fs::path> v;
		for (auto &e : fs::directory_iterator(home / "Desktop" / "zorvane"))
			v.push_back(e.path());
		std::sort(v.begin(), v.end());
		return v;
	}

	fs::path home;
	noise gen;
};

TEST_F(record_test, files_decode_to_exactly_what_was_fed)
{
	zva.monostream = true; // the local file keeps the stereo signal
	zvaudio_record_set(true);
	std::vector<int16_t> local;
	feed_noise(50, &local);
	bind(2, false);            // a call arrives mid-recording
	peers[2].left = 1234;
	peers[2].right = -4321;
	feed_noise(100, &local);
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	EXPECT_EQ(1u, count_logged("zvaudio/record: stop after 144000 samples"));
	EXPECT_EQ(1u, count_logged("zvaudio/record: track 0 closed (144000 samples)"));
	EXPECT_EQ(6u, count_logged("closed (144000 samples)") - 1);

	auto dirs = folders();
	ASSERT_EQ(1u, dirs.size());
	const fs::path dir = dirs[0];
	EXPECT_EQ(19u, dir.filename().string().size()); // YYYY-MM-DD-hh-mm-ss
	std::vector<std::string> files;
	for (auto &e : fs::directory_iterator(dir))
		files.push_back(e.path().filename());
	std::sort(files.begin(), files.end());
	EXPECT_EQ((std::vector<std::string>{"local.flac", "remote-track-2.flac"}), files);
	EXPECT_EQ(5u, count_logged("unused, removed"));

	EXPECT_EQ(local, decode(dir / "local.flac"));
	std::vector<int16_t> remote(2 * 480 * 50, 0);
	for (int k = 0; k < 480 * 100; ++k) {
		remote.push_back(1234);
		remote.push_back(-4321);
	}
	EXPECT_EQ(remote, decode(dir / "remote-track-2.flac"));

	for (const char *f : {"local.flac", "remote-track-2.flac"}) {
		SCOPED_TRACE(f);
		EXPECT_EQ("", shell("flac -t -s '" + (dir / f).string() + "' 2>&1"));
		EXPECT_EQ("48000\n2\n16\n72000\n",
			  metaflac("--show-sample-rate --show-channels --show-bps --show-total-samples", dir / f));
		EXPECT_EQ("ENCODED_BY=ZORVANE\n", metaflac("--export-tags-to=-", dir / f));
		const std::string blocks = metaflac("--list --block-type=VORBIS_COMMENT,PADDING", dir / f);
		EXPECT_NE(std::string::npos, blocks.find("type: 4 (VORBIS_COMMENT)"));
		EXPECT_LT(blocks.find("VORBIS_COMMENT"), blocks.find("type: 1 (PADDING)"));
		EXPECT_NE(std::string::npos, blocks.find("length: 1234"));
	}
}

TEST_F(record_test, mono_record_writes_the_left_channel_twice)
{
	zva.monorecord = true;
	zvaudio_record_set(true);
	for (int p = 0; p < 20; ++p)
		feed(int16_t(100 + p), int16_t(-7));
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	std::vector<int16_t> got = decode(folders()[0] / "local.flac");
	ASSERT_EQ(2u * 480 * 20, got.size());
	for (size_t k = 0; k < got.size(); k += 2) {
		ASSERT_EQ(got[k], got[k + 1]);
		ASSERT_EQ(100 + int(k / 960), got[k]);
	}
}

TEST_F(record_test, switched_off_before_the_first_period)
{
	zvaudio_record_set(true);
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	EXPECT_EQ(7u, count_logged("closed (0 samples)"));
	const fs::path dir = folders()[0];
	EXPECT_TRUE(fs::exists(dir / "local.flac"));
	EXPECT_EQ(1, std::distance(fs::directory_iterator(dir), {}));
	EXPECT_EQ(0, std::system(("flac -t -s '" + (dir / "local.flac").string() + "' 2>/dev/null").c_str()));
	// Periods after the stop record nothing.
	feed(1, 1);
	EXPECT_EQ(0u, count_logged("stop after"));
}

TEST_F(record_test, a_second_start_while_the_first_drains_is_refused)
{
	zvaudio_record_set(true);
	zvaudio_record_set(true); // already on: nothing happens
	feed_noise(900);          // 9 s that the writers are still encoding
	zvaudio_record_set(false);
	zvaudio_record_set(true);
	run_loop(250);
	EXPECT_EQ(1u, count_logged("Recording failed: previous recording is still finishing, please try again"));
	EXPECT_EQ(1u, fakes.record_failures.size());
	ASSERT_TRUE(wait_closed(7));
	EXPECT_EQ(7u, count_logged("closed (864000 samples)"));
	EXPECT_EQ(1u, folders().size());
}

TEST_F(record_test, two_recordings_in_one_second_get_two_folders)
{
	for (int i = 0; i < 2; ++i) {
		zvaudio_record_set(true);
		feed(5, 5);
		zvaudio_record_set(false);
		ASSERT_TRUE(wait_closed(7 * (i + 1)));
	}
	auto dirs = folders();
	ASSERT_EQ(2u, dirs.size());
	if (dirs[0].filename().string().size() == 19 && dirs[1].filename().string().size() == 19)
		GTEST_SKIP() << "the two starts fell into two seconds";
	EXPECT_EQ(dirs[0].filename().string() + "-2", dirs[1].filename().string());
	EXPECT_EQ(2u * 480, decode(dirs[0] / "local.flac").size());
}

TEST_F(record_test, record_time_follows_the_local_writer)
{
	EXPECT_EQ(0, zvaudio_record_time());
	zvaudio_record_set(true);
	EXPECT_EQ(0, zvaudio_record_time());
	// Ten seconds and one period more: a period wakes the writers for the
	// audio fed before it, and they write whole blocks of 20 ms.
	feed_noise(1001);
	for (int i = 0; i < 200 && zvaudio_record_time() < 10000; ++i)
		run_loop(10);
	EXPECT_EQ(10000, zvaudio_record_time());
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	EXPECT_EQ(0, zvaudio_record_time());
	EXPECT_EQ(1u, count_logged("stop after 960960 samples"));
}

// Module close stops a running recording and waits for its files.
TEST_F(record_test, close_waits_for_the_files)
{
	zvaudio_record_set(true);
	feed_noise(500);
	zvaudio_record_close();
	EXPECT_EQ(7u, count_logged("closed (480000 samples)"));
	EXPECT_EQ("240000\n", metaflac("--show-total-samples", folders()[0] / "local.flac"));
}

// A start of the streams that failed leaves none: a recording is refused
// as a recording error (the page told, "record" off) and makes no folder.
TEST_F(record_test, refused_without_streams)
{
	zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(zva.stream));
	zvaudio_record_set(true);
	run_loop(300);
	EXPECT_EQ(1u, count_logged("zvaudio/record: Recording failed: no sound device is working"));
	EXPECT_EQ(std::vector<std::string>{"Recording failed: no sound device is working"}, fakes.record_failures);
	EXPECT_TRUE(folders().empty());
	EXPECT_EQ(0, zvaudio_record_time());
}

// Run with a file size limit (RLIMIT_FSIZE) and SIGXFSZ ignored, as a full
// disk: the page is told, recording switches off, what was written decodes.
TEST_F(record_test, full_disk_stops_the_recording_and_keeps_the_files)
{
	if (!getenv("ZV_FSIZE_LIMITED"))
		GTEST_SKIP() << "needs a file size limit";
	zvaudio_record_set(true);
	for (int i = 0; i < 300; ++i) {
		feed_noise(1);
		if (i % 10 == 0)
			run_loop(5);
	}
	run_loop(300);
	EXPECT_GE(count_logged("FLAC ENCODE ERROR track"), 1u);
	EXPECT_EQ(1u, count_logged("zvaudio/record: Recording stopped: could not write the record files (disk full?)"));
	EXPECT_EQ(1u, fakes.record_failures.size());
	// The full file is finished up to its last whole frame.
	ASSERT_TRUE(wait_closed(6));
	for (int i = 0; i < 100 && !count_logged("zvaudio/record: track 0 kept "); ++i)
		run_loop(20);
	EXPECT_EQ(1u, count_logged("zvaudio/record: track 0 kept "));
	const fs::path local = folders()[0] / "local.flac";
	EXPECT_EQ(0, std::system(("flac -t -s '" + local.string() + "'").c_str()));
	EXPECT_GT(fs::file_size(local), 4096u);
	EXPECT_EQ(std::to_string(decode(local).size() / 2) + "\n", metaflac("--show-total-samples", local));
}

// What a crash leaves: a file without its length, perhaps cut inside a
// frame. The frames are found from its end (the file is longer than the
// part read); flac's own analysis tells where each frame starts.
TEST_F(record_test, mend_counts_the_whole_frames_of_an_unfinished_file)
{
	zvaudio_record_set(true);
	feed_noise(400);
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	const fs::path finished = folders()[0] / "local.flac";
	ASSERT_GT(fs::file_size(finished), 600u * 1024);

	struct frame {
		uintmax_t offset;
		uint64_t first;
	};
	std::vector<frame> frames;
	std::istringstream analysis(shell("flac -s -a -c '" + finished.string() + "'"));
	uint64_t sample = 0;
	for (std::string line; std::getline(analysis, line);) {
		unsigned long long offset, block;
		if (std::sscanf(line.c_str(), "frame=%*u offset=%llu bits=%*u blocksize=%llu", &offset, &block) == 2) {
			frames.push_back({offset, sample});
			sample += block;
		}
	}
	ASSERT_EQ(192000u, sample);
	ASSERT_GT(frames.size(), 10u);
	const uintmax_t size = fs::file_size(finished);
	const uintmax_t audio = frames[0].offset;
	const frame &last = frames.back(), &middle = frames[frames.size() - 5];

	struct cut {
		const char *what;
		uintmax_t length;
		uint64_t frames;
		uintmax_t kept;
	} cuts[] = {
		{"whole", size, 192000, size},
		{"inside the last frame", size - 7, last.first, last.offset},
		{"at a frame's start", middle.offset, middle.first, middle.offset},
		{"one byte into a frame", middle.offset + 1, middle.first, middle.offset},
		{"inside the first frame", audio + 100, 0, audio},
		{"no frame", audio, 0, audio},
	};
	for (const cut &c : cuts) {
		SCOPED_TRACE(c.what);
		const fs::path copy = home / "cut.flac";
		fs::copy_file(finished, copy, fs::copy_options::overwrite_existing);
		fs::resize_file(copy, c.length);
		// No length and no MD5 signature, as the encoder wrote them at the
		// start.
		const int fd = open(copy.c_str(), O_RDWR);
		const uint8_t unset[5 + 16] = {0xF0};
		ASSERT_EQ(ssize_t(sizeof(unset)), pwrite(fd, unset, sizeof(unset), 21));
		ASSERT_EQ("0\n", metaflac("--show-total-samples", copy));
		uint64_t got = 1;
		EXPECT_EQ(0, flac_mend(fd, &got));
		close(fd);
		EXPECT_EQ(c.frames, got);
		EXPECT_EQ(c.kept, fs::file_size(copy));
		EXPECT_EQ(std::to_string(c.frames) + "\n", metaflac("--show-total-samples", copy));
		// Decodes without error; its MD5 signature stays unset.
		EXPECT_EQ(0, std::system(("flac -t -s '" + copy.string() + "' 2>/dev/null").c_str()));
		EXPECT_EQ(2 * c.frames, decode(copy).size());
	}

	const fs::path other = home / "other.flac";
	std::ofstream(other) << "not a FLAC file at all, but long enough to be read";
	const int fd = open(other.c_str(), O_RDWR);
	uint64_t got;
	EXPECT_EQ(EINVAL, flac_mend(fd, &got));
	close(fd);
}

// Silence encodes to frames of a few bytes: the short last frame of a
// recording that is not a whole number of blocks (4096 + 224 frames here,
// 15 bytes) is a frame like any other.
TEST_F(record_test, mend_keeps_a_short_last_frame_of_silence)
{
	zvaudio_record_set(true);
	for (int p = 0; p < 9; ++p)
		feed(0, 0);
	zvaudio_record_set(false);
	ASSERT_TRUE(wait_closed(7));
	const fs::path finished = folders()[0] / "local.flac";
	ASSERT_EQ("4320\n", metaflac("--show-total-samples", finished));
	const uintmax_t size = fs::file_size(finished);

	const int fd = open(finished.c_str(), O_RDWR);
	const uint8_t unset[5 + 16] = {0xF0};
	ASSERT_EQ(ssize_t(sizeof(unset)), pwrite(fd, unset, sizeof(unset), 21));
	uint64_t got = 0;
	EXPECT_EQ(0, flac_mend(fd, &got));
	close(fd);
	EXPECT_EQ(4320u, got);
	EXPECT_EQ(size, fs::file_size(finished));
	EXPECT_EQ(2u * 4320, decode(finished).size());
}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	libre_init();
	log_register_handler(&log_handler);
	int rc = RUN_ALL_TESTS();
	log_unregister_handler(&log_handler);
	libre_close();
	return rc;
}
