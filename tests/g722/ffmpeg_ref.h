/*
 * The G.722 coder of the ffmpeg program, run as a process on files, as a
 * reference for 64 kbit/s streams of 16 kHz audio.
 */
#pragma once

#include <cstdint>
#include <vector>

namespace ffmpeg_ref {

std::vector<uint8_t> encode(const std::vector<int16_t> &samples);

std::vector<int16_t> decode(const std::vector<uint8_t> &octets);

}  // namespace ffmpeg_ref
