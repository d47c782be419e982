/*
 * Our G.722 core driven over whole streams, in calls of a fixed size.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

std::vector<uint8_t> ours_encode(int rate, int options,
				 const std::vector<int16_t> &samples, size_t chunk);

std::vector<int16_t> ours_decode(int rate, int options,
				 const std::vector<uint8_t> &octets, size_t chunk);
