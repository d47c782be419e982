#include "record.h"
#include "ring.h"

#include <new>
#include <sys/mman.h>

namespace {

// Above the recorder's 10 s backlog limit (1920000 bytes) plus one period.
constexpr size_t fifo_bytes = size_t(1) << 21;

}

struct record_fifo {
	spsc_ring ring;
	uint8_t data[fifo_bytes];
};

// The pages come from the kernel, present and zeroed: the period never
// faults one in, and the whole buffer goes back at once when freed.
struct record_fifo *record_fifo_alloc()
{
	void *mem = mmap(nullptr, sizeof(record_fifo), PROT_READ | PROT_WRITE,
			 MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
	if (mem == MAP_FAILED)
		return nullptr;
	auto *f = new (mem) record_fifo;
	f->ring.init(f->data, 1, fifo_bytes);
	return f;
}

void record_fifo_free(struct record_fifo *f)
{
	if (!f)
		return;
	f->~record_fifo();
	munmap(f, sizeof(record_fifo));
}

void record_fifo_write(struct record_fifo *f, const int16_t *v, size_t values)
{
	if (f)
		f->ring.write(v, values * sizeof(int16_t));
}

size_t record_fifo_bytes(const struct record_fifo *f)
{
	return f ? f->ring.read_available() : 0;
}

size_t record_fifo_read(struct record_fifo *f, int16_t *v, size_t values)
{
	return f->ring.read(v, values * sizeof(int16_t)) / sizeof(int16_t);
}
