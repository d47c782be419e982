// A probe preloaded into a program (LD_PRELOAD) that watches its PortAudio
// stream callbacks: how long each one runs, and what the callback thread
// does that a real-time thread must not do: allocate or free memory, take
// a mutex that another thread holds, signal or wait on a condition.
//
// Pa_OpenStream is wrapped so that every stream's callback runs inside a
// timing wrapper; malloc and its family, pthread_mutex_lock and the
// condition calls are wrapped to count what happens inside a callback
// ("callback") and elsewhere on a thread that runs callbacks ("thread").
// With ZV_PROBE_OUT set, a thread of the probe writes the counters to that
// file every ZV_PROBE_INTERVAL_MS (250 ms by default), replacing it whole;
// the maxima marked "window" cover the time since the previous write.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <portaudio.h>
#include <pthread.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);
extern "C" void __libc_free(void *);

namespace {

using counter = std::atomic<uint64_t>;

// Callback durations in steps of 10 us up to 20 ms, the last step open.
constexpr unsigned hist_steps = 2001;
constexpr uint64_t hist_step_ns = 10000;

enum kind { k_input, k_output, k_duplex, k_kinds };
const char *const kind_names[k_kinds] = {"input", "output", "duplex"};

struct callback_stats {
	counter calls{0}, frames{0}, ns_total{0}, ns_max{0}, ns_window_max{0};
	std::atomic<double> rate{0};
	counter hist[hist_steps];
};

struct thread_stats {
	counter malloc_{0}, calloc_{0}, realloc_{0}, memalign_{0}, free_{0};
	counter mutex_lock{0}, mutex_contended{0}, mutex_wait_ns_max{0}, mutex_wait_ns_window_max{0};
	counter cond_signal{0}, cond_wait{0};
};

callback_stats callbacks[k_kinds];
thread_stats in_callback, on_thread;

// Initial-exec TLS: no lazy allocation of the variables, so the wrappers
// below cannot recurse into malloc through them.
__attribute__((tls_model("initial-exec"))) thread_local int callback_depth;
__attribute__((tls_model("initial-exec"))) thread_local bool callback_thread;
__attribute__((tls_model("initial-exec"))) thread_local bool probe_thread;

// The probe's own writes allocate: counting them shows that the wrappers
// are the ones that the process calls.
counter probe_wrapped{0};

void bump(counter &c)
{
	c.fetch_add(1, std::memory_order_relaxed);
}

thread_stats *watched()
{
	if (probe_thread)
		bump(probe_wrapped);
	if (callback_depth)
		return &in_callback;
	return callback_thread ? &on_thread : nullptr;
}

uint64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void raise_max(counter &c, uint64_t v)
{
	uint64_t old = c.load(std::memory_order_relaxed);
	while (old < v && !c.compare_exchange_weak(old, v, std::memory_order_relaxed))
		;
}

struct stream_slot {
	PaStreamCallback *callback;
	void *user;
	kind k;
	double rate;
};

constexpr unsigned slot_count = 64;
stream_slot slots[slot_count];
std::atomic<unsigned> next_slot{0};

int timed_callback(const void *input, void *output, unsigned long frames, const PaStreamCallbackTimeInfo *time,
		   PaStreamCallbackFlags flags, void *user)
{
	auto *slot = static_cast<stream_slot *>(user);
	callback_stats &st = callbacks[slot->k];
	callback_thread = true;
	++callback_depth;
	const uint64_t t0 = now_ns();
	const int result = slot->callback(input, output, frames, time, flags, slot->user);
	const uint64_t ns = now_ns() - t0;
	--callback_depth;
	bump(st.calls);
	st.frames.fetch_add(frames, std::memory_order_relaxed);
	st.ns_total.fetch_add(ns, std::memory_order_relaxed);
	raise_max(st.ns_max, ns);
	raise_max(st.ns_window_max, ns);
	st.rate.store(slot->rate, std::memory_order_relaxed);
	const uint64_t step = ns / hist_step_ns;
	bump(st.hist[step < hist_steps ? step : hist_steps - 1]);
	return result;
}

// The wrapped functions of the libraries after the probe, looked up at
// their first use (which may come before the probe's constructor runs).
template <typename F> F next_symbol(std::atomic<F> &cache, const char *name)
{
	F f = cache.load(std::memory_order_relaxed);
	if (!f) {
		f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
		cache.store(f, std::memory_order_relaxed);
	}
	return f;
}

void put_thread(FILE *f, const char *scope, thread_stats &t)
{
	std::fprintf(f,
		     "%s.malloc %llu\n%s.calloc %llu\n%s.realloc %llu\n%s.memalign %llu\n%s.free %llu\n"
		     "%s.mutex_lock %llu\n%s.mutex_contended %llu\n%s.mutex_wait_ns_max %llu\n"
		     "%s.mutex_wait_ns_window_max %llu\n%s.cond_signal %llu\n%s.cond_wait %llu\n",
		     scope, (unsigned long long)t.malloc_.load(), scope, (unsigned long long)t.calloc_.load(), scope,
		     (unsigned long long)t.realloc_.load(), scope, (unsigned long long)t.memalign_.load(), scope,
		     (unsigned long long)t.free_.load(), scope, (unsigned long long)t.mutex_lock.load(), scope,
		     (unsigned long long)t.mutex_contended.load(), scope,
		     (unsigned long long)t.mutex_wait_ns_max.load(), scope,
		     (unsigned long long)t.mutex_wait_ns_window_max.exchange(0), scope,
		     (unsigned long long)t.cond_signal.load(), scope, (unsigned long long)t.cond_wait.load());
}

char out_path[4096];
unsigned interval_ms = 250;

void write_snapshot(const char *path)
{
	char tmp[sizeof out_path + 8];
	std::snprintf(tmp, sizeof tmp, "%s.tmp", path);
	FILE *f = std::fopen(tmp, "w");
	if (!f)
		return;
	std::fprintf(f, "pid %d\ntime_ns %llu\n", int(getpid()), (unsigned long long)now_ns());
	for (unsigned k = 0; k < k_kinds; ++k) {
		callback_stats &st = callbacks[k];
		const char *n = kind_names[k];
		std::fprintf(f, "%s.calls %llu\n%s.frames %llu\n%s.rate %.1f\n%s.ns_total %llu\n%s.ns_max %llu\n"
				"%s.ns_window_max %llu\n%s.hist",
			     n, (unsigned long long)st.calls.load(), n, (unsigned long long)st.frames.load(), n,
			     st.rate.load(), n, (unsigned long long)st.ns_total.load(), n,
			     (unsigned long long)st.ns_max.load(), n, (unsigned long long)st.ns_window_max.exchange(0), n);
		for (auto &h : st.hist)
			std::fprintf(f, " %llu", (unsigned long long)h.load());
		std::fputc('\n', f);
	}
	put_thread(f, "callback", in_callback);
	put_thread(f, "thread", on_thread);
	std::fprintf(f, "probe.wrapped %llu\n", (unsigned long long)probe_wrapped.load());
	std::fclose(f);
	std::rename(tmp, path);
}

void *writer(void *)
{
	probe_thread = true;
	for (;;) {
		usleep(interval_ms * 1000);
		write_snapshot(out_path);
	}
	return nullptr;
}

__attribute__((constructor)) void start_probe()
{
	const char *out = std::getenv("ZV_PROBE_OUT");
	if (!out || !*out)
		return;
	std::snprintf(out_path, sizeof out_path, "%s", out);
	// Programs that this one starts load the probe too, but write nothing.
	unsetenv("ZV_PROBE_OUT");
	if (const char *ms = std::getenv("ZV_PROBE_INTERVAL_MS"))
		interval_ms = unsigned(std::max(10, std::atoi(ms)));
	pthread_t t;
	if (pthread_create(&t, nullptr, writer, nullptr) == 0)
		pthread_detach(t);
}

// A lock taken, and how long it was waited for when another thread held
// it; read-write locks count as mutex locks.
template <typename L>
int counted_lock(L *l, int (*real_lock)(L *), int (*real_trylock)(L *))
{
	thread_stats *t = watched();
	if (!t)
		return real_lock(l);
	bump(t->mutex_lock);
	if (real_trylock(l) == 0)
		return 0;
	bump(t->mutex_contended);
	const uint64_t t0 = now_ns();
	const int r = real_lock(l);
	const uint64_t waited = now_ns() - t0;
	raise_max(t->mutex_wait_ns_max, waited);
	raise_max(t->mutex_wait_ns_window_max, waited);
	return r;
}

}

extern "C" {

PaError Pa_OpenStream(PaStream **stream, const PaStreamParameters *in, const PaStreamParameters *out, double rate,
		      unsigned long frames, PaStreamFlags flags, PaStreamCallback *callback, void *user)
{
	using open_f = PaError (*)(PaStream **, const PaStreamParameters *, const PaStreamParameters *, double,
				   unsigned long, PaStreamFlags, PaStreamCallback *, void *);
	static std::atomic<open_f> real_sym;
	open_f real = next_symbol(real_sym, "Pa_OpenStream");
	if (!real) {
		// PortAudio loaded by a plugin of the program, out of the global
		// scope.
		if (void *pa = dlopen("libportaudio.so.2", RTLD_LAZY | RTLD_NOLOAD))
			real_sym.store(real = reinterpret_cast<open_f>(dlsym(pa, "Pa_OpenStream")));
		if (!real)
			return paInternalError;
	}
	if (!callback)
		return real(stream, in, out, rate, frames, flags, callback, user);
	stream_slot *slot = &slots[next_slot.fetch_add(1) % slot_count];
	slot->callback = callback;
	slot->user = user;
	slot->k = in && out ? k_duplex : (in ? k_input : k_output);
	slot->rate = rate;
	return real(stream, in, out, rate, frames, flags, timed_callback, slot);
}

void *malloc(size_t n)
{
	if (thread_stats *t = watched())
		bump(t->malloc_);
	return __libc_malloc(n);
}

void *calloc(size_t a, size_t b)
{
	if (thread_stats *t = watched())
		bump(t->calloc_);
	return __libc_calloc(a, b);
}

void *realloc(void *p, size_t n)
{
	if (thread_stats *t = watched())
		bump(t->realloc_);
	return __libc_realloc(p, n);
}

void free(void *p)
{
	if (p)
		if (thread_stats *t = watched())
			bump(t->free_);
	__libc_free(p);
}

void *memalign(size_t align, size_t n)
{
	if (thread_stats *t = watched())
		bump(t->memalign_);
	return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n)
{
	return memalign(align, n);
}

int posix_memalign(void **p, size_t align, size_t n)
{
	if (align < sizeof(void *) || (align & (align - 1)))
		return EINVAL;
	void *m = memalign(align, n);
	if (!m)
		return ENOMEM;
	*p = m;
	return 0;
}

int pthread_rwlock_rdlock(pthread_rwlock_t *l)
{
	using lock_f = int (*)(pthread_rwlock_t *);
	static std::atomic<lock_f> lock_sym, trylock_sym;
	return counted_lock(l, next_symbol(lock_sym, "pthread_rwlock_rdlock"),
			    next_symbol(trylock_sym, "pthread_rwlock_tryrdlock"));
}

int pthread_rwlock_wrlock(pthread_rwlock_t *l)
{
	using lock_f = int (*)(pthread_rwlock_t *);
	static std::atomic<lock_f> lock_sym, trylock_sym;
	return counted_lock(l, next_symbol(lock_sym, "pthread_rwlock_wrlock"),
			    next_symbol(trylock_sym, "pthread_rwlock_trywrlock"));
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
	using lock_f = int (*)(pthread_mutex_t *);
	static std::atomic<lock_f> lock_sym, trylock_sym;
	return counted_lock(m, next_symbol(lock_sym, "pthread_mutex_lock"),
			    next_symbol(trylock_sym, "pthread_mutex_trylock"));
}

int pthread_cond_signal(pthread_cond_t *c)
{
	using signal_f = int (*)(pthread_cond_t *);
	static std::atomic<signal_f> real_sym;
	signal_f real = next_symbol(real_sym, "pthread_cond_signal");
	if (thread_stats *t = watched())
		bump(t->cond_signal);
	return real(c);
}

int pthread_cond_broadcast(pthread_cond_t *c)
{
	using signal_f = int (*)(pthread_cond_t *);
	static std::atomic<signal_f> real_sym;
	signal_f real = next_symbol(real_sym, "pthread_cond_broadcast");
	if (thread_stats *t = watched())
		bump(t->cond_signal);
	return real(c);
}

int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
	using wait_f = int (*)(pthread_cond_t *, pthread_mutex_t *);
	static std::atomic<wait_f> real_sym;
	wait_f real = next_symbol(real_sym, "pthread_cond_wait");
	if (thread_stats *t = watched())
		bump(t->cond_wait);
	return real(c, m);
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const struct timespec *abstime)
{
	using wait_f = int (*)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);
	static std::atomic<wait_f> real_sym;
	wait_f real = next_symbol(real_sym, "pthread_cond_timedwait");
	if (thread_stats *t = watched())
		bump(t->cond_wait);
	return real(c, m, abstime);
}

}
