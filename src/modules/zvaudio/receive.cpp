// A call's receive record: its buffers, and the log's summary of what went
// wrong on the way in.
#include "receive.h"

#include "buffer_layout.h"

#include <new>

namespace {

constexpr int64_t LOG_EVERY_NS = 5000000000;

struct receive_layout {
	size_t queue, store, fifo, block, scratch, last, bytes;
};

receive_layout layout()
{
	buffer_layout b;
	receive_layout l = {};
	l.queue = b.place(RX_QUEUE_PACKETS * sizeof(struct rx_packet));
	l.store = b.place(RX_STORE_PACKETS * sizeof(struct playout_packet));
	l.fifo = b.place(2 * RX_FIFO_FRAMES * sizeof(int16_t));
	l.block = b.place(2 * RX_DECODE_FRAMES * sizeof(int16_t));
	l.scratch = b.place(2 * RX_DECODE_FRAMES * sizeof(int16_t));
	l.last = b.place(2 * RX_DECODE_FRAMES * sizeof(int16_t));
	l.bytes = b.bytes;
	return l;
}

void receive_destructor(void *arg)
{
	auto *r = static_cast<struct call_receive *>(arg);
	receive_unbind(r);
	r->~call_receive();
}

uint32_t more(uint32_t now, uint32_t before)
{
	return now > before ? now - before : 0;
}

}

size_t receive_buffer_bytes()
{
	return layout().bytes;
}

struct call_receive *receive_alloc(uint8_t *buffers)
{
	void *mem = mem_zalloc(sizeof(struct call_receive), receive_destructor);
	if (!mem)
		return nullptr;
	auto *r = new (mem) call_receive();
	const receive_layout l = layout();
	r->queue.init(buffers + l.queue, sizeof(struct rx_packet), RX_QUEUE_PACKETS);
	r->play.store = reinterpret_cast<struct playout_packet *>(buffers + l.store);
	r->play.fifo = reinterpret_cast<int16_t *>(buffers + l.fifo);
	r->play.block = reinterpret_cast<int16_t *>(buffers + l.block);
	r->play.scratch = reinterpret_cast<int16_t *>(buffers + l.scratch);
	r->play.last = reinterpret_cast<int16_t *>(buffers + l.last);
	return r;
}

void receive_free(struct call_receive *r)
{
	mem_deref(r);
}

void receive_log(struct call_receive *r, const char *track,
		 const struct zvaudio_receive_figures *figures, int64_t now_ns)
{
	if (!r->strm || now_ns - r->logged_ns < LOG_EVERY_NS)
		return;
	const struct zvaudio_receive_figures &f = *figures;
	const struct zvaudio_receive_figures &was = r->logged_figures;
	const uint32_t late = more(f.late, was.late), lost = more(f.lost, was.lost);
	const uint32_t concealed = more(f.concealed_ms, was.concealed_ms);
	const uint32_t foreign = more(r->refused.foreign, r->logged.foreign);
	const uint32_t unknown = more(r->refused.unknown, r->logged.unknown);
	const uint32_t dropped = more(r->refused.oversized, r->logged.oversized) +
				 more(r->refused.queue_full, r->logged.queue_full) +
				 more(f.overflow, was.overflow);
	if (late || lost || concealed || foreign || unknown || dropped) {
		info("zvaudio: %s received in %u s: %u packets lost, %u too late to play, %u ms "
		     "concealed, %u dropped without room, %u not from the far end, %u of an unknown type\n",
		     track, unsigned((now_ns - r->logged_ns) / 1000000000), lost, late, concealed,
		     dropped, foreign, unknown);
	}
	r->logged = r->refused;
	r->logged_figures = f;
	r->logged_ns = now_ns;
}
