// The length of a FLAC file that its encoder never finished: the file holds
// whole frames (each reached it in one write) and perhaps the start of one
// more, while STREAMINFO still says "length unknown". The frames are found
// from the end of the file by their headers and checksums; the last one
// tells how many samples precede its end.
#include "record.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Enough to hold several of the largest frames of a 16-bit stereo stream
// (4096 samples uncompressed: 16 KiB).
constexpr size_t tail_bytes = 512 * 1024;
// More than this after the last whole frame is not a frame cut short.
constexpr off_t max_partial = 64 * 1024;
constexpr off_t streaminfo_at = 8;
constexpr size_t streaminfo_length = 34;

uint8_t crc8(const uint8_t *p, size_t n)
{
	uint8_t crc = 0;
	while (n--) {
		crc ^= *p++;
		for (int b = 0; b < 8; ++b)
			crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
	}
	return crc;
}

uint16_t crc16_update(uint16_t crc, uint8_t byte)
{
	crc ^= uint16_t(byte << 8);
	for (int b = 0; b < 8; ++b)
		crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
	return crc;
}

struct frame_header {
	uint64_t number; // frame number (fixed block size) or first sample
	uint32_t block_size;
	bool variable;
	bool cut; // the start of a header that the file's end cuts short
};

// A frame header at p (n bytes available) with a valid CRC-8. The header is
// 6 to 16 bytes long, and a frame of silence may be shorter than 16 bytes
// in all: the bytes are looked at only as far as the header reaches.
bool parse_header(const uint8_t *p, size_t n, frame_header *h)
{
	if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
		return false;
	const unsigned bs_code = p[2] >> 4, sr_code = p[2] & 0x0F;
	if (bs_code == 0 || sr_code == 15 || (p[3] >> 4) > 10 || (p[3] & 1))
		return false;
	h->variable = p[1] & 1;

	size_t at = 4;
	unsigned extra = 0;
	uint64_t v = p[at];
	if (v & 0x80) {
		int ones = 0;
		while (ones < 8 && (p[at] & (0x80 >> ones)))
			++ones;
		if (ones < 2 || ones > 7)
			return false;
		extra = unsigned(ones - 1);
		v = p[at] & (0xFF >> (ones + 1));
	}
	// The bytes of the block size and of the sample rate after the number.
	const size_t more = size_t(bs_code == 6) + 2 * size_t(bs_code == 7) +
			    size_t(sr_code == 12) + 2 * size_t(sr_code == 13 || sr_code == 14);
	if (at + 1 + extra + more >= n)
		return false;
	for (unsigned k = 1; k <= extra; ++k) {
		if ((p[at + k] & 0xC0) != 0x80)
			return false;
		v = (v << 6) | (p[at + k] & 0x3F);
	}
	at += 1 + extra;
	h->number = v;

	if (bs_code == 1)
		h->block_size = 192;
	else if (bs_code <= 5)
		h->block_size = 576u << (bs_code - 2);
	else if (bs_code == 6)
		h->block_size = uint32_t(p[at++]) + 1;
	else if (bs_code == 7) {
		h->block_size = ((uint32_t(p[at]) << 8) | p[at + 1]) + 1;
		at += 2;
	}
	else
		h->block_size = 256u << (bs_code - 8);
	if (sr_code == 12)
		at += 1;
	else if (sr_code == 13 || sr_code == 14)
		at += 2;
	return crc8(p, at) == p[at];
}

struct stream_layout {
	off_t audio_at;      // first byte after the metadata
	uint32_t block_size; // the nominal block size
	uint64_t total;      // total samples as STREAMINFO says
	uint8_t total_byte;  // the byte that holds the total's high bits
};

int read_layout(int fd, stream_layout *s)
{
	uint8_t head[streaminfo_at + streaminfo_length];
	if (pread(fd, head, sizeof(head), 0) != ssize_t(sizeof(head)))
		return EINVAL;
	const size_t length = (size_t(head[5]) << 16) | (size_t(head[6]) << 8) | head[7];
	if (std::memcmp(head, "fLaC", 4) || (head[4] & 0x7F) != 0 || length != streaminfo_length)
		return EINVAL;
	const uint8_t *info = head + streaminfo_at;
	s->block_size = (uint32_t(info[2]) << 8) | info[3];
	s->total_byte = info[13];
	s->total = (uint64_t(info[13] & 0x0F) << 32) | (uint64_t(info[14]) << 24) |
		   (uint64_t(info[15]) << 16) | (uint64_t(info[16]) << 8) | info[17];

	off_t at = 4;
	for (bool last = false; !last;) {
		uint8_t block[4];
		if (pread(fd, block, 4, at) != 4)
			return EINVAL;
		last = block[0] & 0x80;
		at += 4 + ((off_t(block[1]) << 16) | (off_t(block[2]) << 8) | block[3]);
	}
	s->audio_at = at;
	return 0;
}

// The end of the frame that starts at tail[start]: the first offset past it
// whose preceding two bytes are the CRC-16 of the frame, where the file ends
// or the next frame (next) begins. 0 when there is none.
size_t frame_end(const std::vector<uint8_t> &tail, size_t start, const frame_header &h,
		 const std::vector<size_t> &heads, const std::vector<frame_header> &headers,
		 size_t next)
{
	uint16_t crc = 0;
	size_t done = start;
	auto crc_to = [&](size_t end) {
		for (; done < end; ++done)
			crc = crc16_update(crc, tail[done]);
		return crc;
	};
	auto follows = [&](const frame_header &n) {
		return n.cut || (n.variable == h.variable &&
				 n.number == (h.variable ? h.number + h.block_size : h.number + 1));
	};
	for (size_t k = next; k <= heads.size(); ++k) {
		const size_t end = k < heads.size() ? heads[k] : tail.size();
		if (end - start > size_t(max_partial))
			break;
		if (end < start + 8)
			continue;
		if (k < heads.size() && !follows(headers[k]))
			continue;
		if (crc_to(end - 2) == ((uint16_t(tail[end - 2]) << 8) | tail[end - 1]))
			return end;
	}
	return 0;
}

}

int flac_mend(int fd, uint64_t *frames)
{
	stream_layout s;
	if (int err = read_layout(fd, &s))
		return err;
	struct stat sb;
	if (fstat(fd, &sb))
		return errno;
	const off_t size = sb.st_size;
	if (size < s.audio_at)
		return EINVAL;

	const off_t from =
		size - s.audio_at > off_t(tail_bytes) ? size - off_t(tail_bytes) : s.audio_at;
	std::vector<uint8_t> tail(size_t(size - from));
	if (!tail.empty() && pread(fd, tail.data(), tail.size(), from) != ssize_t(tail.size()))
		return EIO;

	std::vector<size_t> heads;
	std::vector<frame_header> headers;
	for (size_t at = 0; at < tail.size(); ++at) {
		frame_header h = {};
		if (tail[at] != 0xFF)
			continue;
		const size_t left = tail.size() - at;
		const bool whole = parse_header(&tail[at], left, &h);
		h.cut = !whole && left < 16 && (left == 1 || (tail[at + 1] & 0xFE) == 0xF8);
		if (whole || h.cut) {
			heads.push_back(at);
			headers.push_back(h);
		}
	}

	// Follow the frames from the first one that checks out to the last.
	size_t good_end = 0;
	bool found = false;
	uint64_t total = 0;
	for (size_t k = 0; k < heads.size(); ++k) {
		if ((found && heads[k] != good_end) || headers[k].cut)
			continue;
		const size_t end = frame_end(tail, heads[k], headers[k], heads, headers, k + 1);
		if (!end) {
			if (found)
				break;
			continue;
		}
		const frame_header &h = headers[k];
		total = (h.variable ? h.number : h.number * s.block_size) + h.block_size;
		good_end = end;
		found = true;
	}
	if (!found) {
		// Only the metadata, or it and the start of the first frame.
		if (from != s.audio_at)
			return ENODATA;
		good_end = 0;
	}
	const off_t whole = from + off_t(good_end);
	if (size - whole > max_partial)
		return ENODATA;
	if (whole < size && ftruncate(fd, whole))
		return errno;

	// The audio's MD5 signature follows the total; unknown for these
	// frames, it is left unset (zero).
	if (total != s.total || whole < size) {
		uint8_t bytes[5 + 16] = {uint8_t((s.total_byte & 0xF0) | ((total >> 32) & 0x0F)),
					 uint8_t(total >> 24), uint8_t(total >> 16),
					 uint8_t(total >> 8), uint8_t(total)};
		if (pwrite(fd, bytes, sizeof(bytes), streaminfo_at + 13) != ssize_t(sizeof(bytes)))
			return errno ? errno : EIO;
	}
	*frames = total;
	return 0;
}
