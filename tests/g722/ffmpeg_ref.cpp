#include "ffmpeg_ref.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

extern char **environ;

namespace ffmpeg_ref {

namespace {

namespace fs = std::filesystem;

/* A private folder that is removed with all its files */
struct scratch_dir {
	fs::path path;

	scratch_dir()
	{
		std::string tmpl = (fs::temp_directory_path() / "g722-ffmpeg-XXXXXX").string();
		if (!mkdtemp(tmpl.data()))
			throw std::runtime_error("mkdtemp failed");
		path = tmpl;
	}

	~scratch_dir()
	{
		std::error_code ec;
		fs::remove_all(path, ec);
	}
};

void write_file(const fs::path &path, const void *data, size_t size)
{
	std::ofstream f(path, std::ios::binary);
	f.write(static_cast<const char *>(data), std::streamsize(size));
	if (!f)
		throw std::runtime_error("cannot write " + path.string());
}

std::vector<char> read_file(const fs::path &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		throw std::runtime_error("cannot read " + path.string());
	return {std::istreambuf_iterator<char>(f), {}};
}

void run_ffmpeg(std::vector<std::string> args)
{
	args.insert(args.begin(), {"ffmpeg", "-nostdin", "-hide_banner",
				   "-loglevel", "error", "-y"});

	std::vector<char *> argv;
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	pid_t pid;
	if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ))
		throw std::runtime_error("cannot start ffmpeg");

	int status = 0;
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
	    WEXITSTATUS(status) != 0)
		throw std::runtime_error("ffmpeg failed");
}

}  // namespace

std::vector<uint8_t> encode(const std::vector<int16_t> &samples)
{
	scratch_dir dir;
	const fs::path in = dir.path / "in.raw";
	const fs::path out = dir.path / "out.g722";

	write_file(in, samples.data(), samples.size() * sizeof(int16_t));
	run_ffmpeg({"-f", "s16le", "-ar", "16000", "-ac", "1", "-i", in.string(),
		    "-acodec", "g722", "-f", "g722", out.string()});

	const std::vector<char> bytes = read_file(out);
	return {bytes.begin(), bytes.end()};
}

std::vector<int16_t> decode(const std::vector<uint8_t> &octets)
{
	scratch_dir dir;
	const fs::path in = dir.path / "in.g722";
	const fs::path out = dir.path / "out.raw";

	write_file(in, octets.data(), octets.size());
	run_ffmpeg({"-f", "g722", "-i", in.string(), "-acodec", "pcm_s16le",
		    "-f", "s16le", out.string()});

	const std::vector<char> bytes = read_file(out);
	std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
	for (size_t i = 0; i < samples.size(); i++)
		samples[i] = static_cast<int16_t>(
			uint16_t(uint8_t(bytes[2 * i])) |
			uint16_t(uint8_t(bytes[2 * i + 1])) << 8);
	return samples;
}

}  // namespace ffmpeg_ref
