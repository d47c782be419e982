// Buffers placed one after another in one block of memory, each from a
// cache line of its own.
#pragma once

#include <cstddef>

struct buffer_layout {
	size_t bytes = 0;

	// Where a buffer of n bytes goes.
	size_t place(size_t n)
	{
		const size_t at = bytes;
		bytes += (n + 63) & ~size_t(63);
		return at;
	}
};
