// A record that one thread writes now and then and other threads read
// without a lock: the writer never waits, and a reader that meets a write
// under way reads again. Its words are atomics, so that no read of a word
// races its write.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <typename T> class published {
	static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(uint32_t) == 0);
	static constexpr size_t WORDS = sizeof(T) / sizeof(uint32_t);

public:
	void store(const T &value)
	{
		uint32_t w[WORDS];
		std::memcpy(w, &value, sizeof(T));
		const uint32_t s = seq.load(std::memory_order_relaxed);
		seq.store(s + 1, std::memory_order_relaxed);
		std::atomic_thread_fence(std::memory_order_release);
		for (size_t i = 0; i < WORDS; ++i)
			words[i].store(w[i], std::memory_order_relaxed);
		seq.store(s + 2, std::memory_order_release);
	}

	T load() const
	{
		uint32_t w[WORDS];
		uint32_t before, after;
		do {
			before = seq.load(std::memory_order_acquire);
			for (size_t i = 0; i < WORDS; ++i)
				w[i] = words[i].load(std::memory_order_relaxed);
			std::atomic_thread_fence(std::memory_order_acquire);
			after = seq.load(std::memory_order_relaxed);
		} while ((before & 1) || before != after);
		T value;
		std::memcpy(&value, w, sizeof(T));
		return value;
	}

private:
	std::atomic<uint32_t> seq{0};
	std::atomic<uint32_t> words[WORDS] = {};
};
