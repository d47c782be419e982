/*
 * The G.722 coder of the spandsp library, as a reference to compare with.
 * Kept in its own unit: its C functions share names with ours.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace spandsp_ref {

/* Encode in calls of at most chunk samples through one state */
std::vector<uint8_t> encode(int rate, int options,
			    const std::vector<int16_t> &samples, size_t chunk);

/* Decode in calls of at most chunk octets through one state */
std::vector<int16_t> decode(int rate, int options,
			    const std::vector<uint8_t> &octets, size_t chunk);

}  // namespace spandsp_ref
