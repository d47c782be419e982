// A lock-free ring of fixed-size elements with one writer thread and one
// reader thread. The capacity is a power of two and every element of it can
// be filled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

struct spsc_ring {
	uint8_t *data = nullptr;
	size_t elem_size = 0;
	size_t mask = 0;           // capacity - 1
	std::atomic<size_t> wr{0}; // elements ever written
	std::atomic<size_t> rd{0}; // elements ever read

	// False when count is not a power of two or nothing is given.
	bool init(void *storage, size_t element_size, size_t count)
	{
		if (!storage || !element_size || !count || (count & (count - 1)))
			return false;
		data = static_cast<uint8_t *>(storage);
		elem_size = element_size;
		mask = count - 1;
		wr.store(0, std::memory_order_relaxed);
		rd.store(0, std::memory_order_relaxed);
		return true;
	}

	size_t read_available() const
	{
		return wr.load(std::memory_order_acquire) - rd.load(std::memory_order_acquire);
	}

	size_t write_available() const { return mask + 1 - read_available(); }

	// Stores as many of the n elements as fit; returns that number.
	size_t write(const void *src, size_t n)
	{
		size_t w = wr.load(std::memory_order_relaxed);
		size_t room = mask + 1 - (w - rd.load(std::memory_order_acquire));
		if (n > room)
			n = room;
		copy_in(w, static_cast<const uint8_t *>(src), n);
		wr.store(w + n, std::memory_order_release);
		return n;
	}

	// Takes up to n elements; returns the number taken.
	size_t read(void *dst, size_t n)
	{
		size_t r = rd.load(std::memory_order_relaxed);
		size_t have = wr.load(std::memory_order_acquire) - r;
		if (n > have)
			n = have;
		copy_out(r, static_cast<uint8_t *>(dst), n);
		rd.store(r + n, std::memory_order_release);
		return n;
	}

	// Drops up to n elements; returns the number dropped.
	size_t skip(size_t n)
	{
		size_t r = rd.load(std::memory_order_relaxed);
		size_t have = wr.load(std::memory_order_acquire) - r;
		if (n > have)
			n = have;
		rd.store(r + n, std::memory_order_release);
		return n;
	}

	// Drops every element written before the index, as counted by wr.
	void skip_to(size_t index)
	{
		size_t r = rd.load(std::memory_order_relaxed);
		if (index > r)
			skip(index - r);
	}

	// The elements written so far (the writer's own count).
	size_t written() const { return wr.load(std::memory_order_relaxed); }

private:
	void copy_in(size_t pos, const uint8_t *src, size_t n)
	{
		size_t at = pos & mask;
		size_t first = n < mask + 1 - at ? n : mask + 1 - at;
		std::memcpy(data + at * elem_size, src, first * elem_size);
		std::memcpy(data, src + first * elem_size, (n - first) * elem_size);
	}

	void copy_out(size_t pos, uint8_t *dst, size_t n)
	{
		size_t at = pos & mask;
		size_t first = n < mask + 1 - at ? n : mask + 1 - at;
		std::memcpy(dst, data + at * elem_size, first * elem_size);
		std::memcpy(dst + first * elem_size, data, (n - first) * elem_size);
	}
};
