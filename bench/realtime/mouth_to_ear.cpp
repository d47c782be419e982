// Mouth-to-ear on one JACK graph: plays chirps into a host's input and a
// far end's input and records the host's and the far end's outputs, all in
// the JACK server's frame time, then finds each chirp's delay by
// cross-correlation.
//
// Two clients of this process: "zvm2e_play" with the outputs "to_host" and
// "to_far", "zvm2e_rec" with the inputs "from_host", "from_far" and "ref"
// (wired straight to both outputs, which must show no delay). Two clients,
// so that the graph play -> host/far end -> rec has no cycle. Chirps start
// every second, alternating: even ones to the host, odd ones to the far end.
//
//   zvm2e SECONDS --to-host PORT... --to-far PORT... --from-host PORT --from-far PORT
//
// Prints per path: "<path> <median ms> <min ms> <max ms> <chirps found> <of>".
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double chirp_seconds = 0.1;
constexpr double max_delay_seconds = 0.45;
constexpr double lead_seconds = 1.0;

struct shared {
	jack_client_t *play = nullptr, *rec = nullptr;
	jack_port_t *to_host = nullptr, *to_far = nullptr;
	jack_port_t *from_host = nullptr, *from_far = nullptr, *ref = nullptr;
	std::atomic<int64_t> start{-1};
	uint32_t rate = 48000;
	size_t gap = 48000, chirp_len = 4800, total = 0;
	std::vector<float> chirp;
	std::vector<float> got_host, got_far, got_ref;
};

shared g;

// A Hann-windowed linear sweep from 300 Hz to 6 kHz.
std::vector<float> make_chirp(size_t n, double rate)
{
	std::vector<float> c(n);
	const double f0 = 300, f1 = 6000, t_total = double(n) / rate;
	for (size_t i = 0; i < n; ++i) {
		const double t = double(i) / rate;
		const double phase = 2 * M_PI * (f0 * t + (f1 - f0) * t * t / (2 * t_total));
		const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
		c[i] = float(0.4 * w * std::sin(phase));
	}
	return c;
}

// The sample at offset k after the start: chirp number k / gap goes to the
// host when even, to the far end when odd.
float signal_at(int64_t k, bool to_host)
{
	if (k < int64_t(lead_seconds * g.rate))
		return 0;
	k -= int64_t(lead_seconds * g.rate);
	const int64_t n = k / int64_t(g.gap), pos = k % int64_t(g.gap);
	if ((n % 2 == 0) != to_host || pos >= int64_t(g.chirp_len))
		return 0;
	return g.chirp[size_t(pos)];
}

int play_process(jack_nframes_t frames, void *)
{
	const int64_t now = jack_last_frame_time(g.play);
	int64_t start = g.start.load();
	if (start < 0) {
		g.start.store(now);
		start = now;
	}
	auto *host = static_cast<float *>(jack_port_get_buffer(g.to_host, frames));
	auto *far = static_cast<float *>(jack_port_get_buffer(g.to_far, frames));
	for (jack_nframes_t i = 0; i < frames; ++i) {
		host[i] = signal_at(now - start + i, true);
		far[i] = signal_at(now - start + i, false);
	}
	return 0;
}

int rec_process(jack_nframes_t frames, void *)
{
	const int64_t start = g.start.load();
	if (start < 0)
		return 0;
	const int64_t at = int64_t(jack_last_frame_time(g.rec)) - start;
	struct {
		jack_port_t *port;
		std::vector<float> *into;
	} ins[] = {{g.from_host, &g.got_host}, {g.from_far, &g.got_far}, {g.ref, &g.got_ref}};
	for (auto &in : ins) {
		auto *buf = static_cast<const float *>(jack_port_get_buffer(in.port, frames));
		for (jack_nframes_t i = 0; i < frames; ++i) {
			const int64_t k = at + i;
			if (k >= 0 && size_t(k) < g.total)
				(*in.into)[size_t(k)] = buf[i];
		}
	}
	return 0;
}

// The delays (ms) of the chirps of one parity found in a recording.
std::vector<double> delays(const std::vector<float> &got, bool to_host, size_t *sent)
{
	std::vector<double> out;
	const size_t max_lag = size_t(max_delay_seconds * g.rate);
	double chirp_energy = 0;
	for (float v : g.chirp)
		chirp_energy += double(v) * v;
	*sent = 0;
	for (size_t n = 0;; ++n) {
		const size_t at = size_t(lead_seconds * g.rate) + n * g.gap;
		if (at + max_lag + g.chirp_len > g.total)
			break;
		if ((n % 2 == 0) != to_host)
			continue;
		++*sent;
		double best = 0;
		size_t best_lag = 0;
		for (size_t lag = 0; lag < max_lag; ++lag) {
			const float *r = &got[at + lag];
			double s = 0;
			for (size_t i = 0; i < g.chirp_len; ++i)
				s += double(g.chirp[i]) * r[i];
			if (s > best) {
				best = s;
				best_lag = lag;
			}
		}
		double energy = 0;
		for (size_t i = 0; i < g.chirp_len; ++i)
			energy += double(got[at + best_lag + i]) * got[at + best_lag + i];
		const double corr = energy > 0 ? best / std::sqrt(energy * chirp_energy) : 0;
		if (corr > 0.5)
			out.push_back(1000.0 * double(best_lag) / g.rate);
	}
	return out;
}

void report(const char *path, std::vector<double> d, size_t sent)
{
	if (d.empty()) {
		std::printf("%s - - - 0 %zu\n", path, sent);
		return;
	}
	std::sort(d.begin(), d.end());
	std::printf("%s %.2f %.2f %.2f %zu %zu\n", path, d[d.size() / 2], d.front(), d.back(), d.size(), sent);
}

void connect(jack_client_t *c, const std::string &from, const std::string &to)
{
	if (int e = jack_connect(c, from.c_str(), to.c_str()))
		std::fprintf(stderr, "zvm2e: cannot connect %s to %s (%d)\n", from.c_str(), to.c_str(), e);
}

}

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: %s SECONDS --to-host PORT... --to-far PORT... --from-host PORT --from-far PORT\n",
			     argv[0]);
		return 2;
	}
	const double seconds = std::atof(argv[1]);
	std::vector<std::string> to_host, to_far, from_host, from_far;
	std::vector<std::string> *list = nullptr;
	for (int i = 2; i < argc; ++i) {
		const std::string a = argv[i];
		if (a == "--to-host")
			list = &to_host;
		else if (a == "--to-far")
			list = &to_far;
		else if (a == "--from-host")
			list = &from_host;
		else if (a == "--from-far")
			list = &from_far;
		else if (list)
			list->push_back(a);
	}

	jack_status_t status;
	g.play = jack_client_open("zvm2e_play", JackNoStartServer, &status);
	g.rec = jack_client_open("zvm2e_rec", JackNoStartServer, &status);
	if (!g.play || !g.rec) {
		std::fprintf(stderr, "zvm2e: no JACK server\n");
		return 1;
	}
	g.rate = jack_get_sample_rate(g.play);
	g.gap = g.rate;
	g.chirp_len = size_t(chirp_seconds * g.rate);
	g.chirp = make_chirp(g.chirp_len, g.rate);
	g.total = size_t((lead_seconds + seconds) * g.rate);
	g.got_host.assign(g.total, 0);
	g.got_far.assign(g.total, 0);
	g.got_ref.assign(g.total, 0);

	g.to_host = jack_port_register(g.play, "to_host", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
	g.to_far = jack_port_register(g.play, "to_far", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
	g.from_host = jack_port_register(g.rec, "from_host", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
	g.from_far = jack_port_register(g.rec, "from_far", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
	g.ref = jack_port_register(g.rec, "ref", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
	jack_set_process_callback(g.play, play_process, nullptr);
	jack_set_process_callback(g.rec, rec_process, nullptr);
	if (jack_activate(g.rec) || jack_activate(g.play)) {
		std::fprintf(stderr, "zvm2e: cannot activate\n");
		return 1;
	}
	const std::string play = jack_get_client_name(g.play), rec = jack_get_client_name(g.rec);
	for (auto &p : to_host)
		connect(g.play, play + ":to_host", p);
	for (auto &p : to_far)
		connect(g.play, play + ":to_far", p);
	for (auto &p : from_host)
		connect(g.rec, p, rec + ":from_host");
	for (auto &p : from_far)
		connect(g.rec, p, rec + ":from_far");
	connect(g.play, play + ":to_host", rec + ":ref");
	connect(g.play, play + ":to_far", rec + ":ref");

	usleep(useconds_t((lead_seconds + seconds + 0.3) * 1e6));
	jack_deactivate(g.play);
	jack_deactivate(g.rec);

	size_t sent = 0;
	auto ref_host = delays(g.got_ref, true, &sent);
	auto ref_far = delays(g.got_ref, false, &sent);
	ref_host.insert(ref_host.end(), ref_far.begin(), ref_far.end());
	report("reference", ref_host, ref_host.size());
	auto d = delays(g.got_far, true, &sent);
	report("host->caller", d, sent);
	d = delays(g.got_host, false, &sent);
	report("caller->host", d, sent);
	d = delays(g.got_host, true, &sent);
	report("monitor", d, sent);
	jack_client_close(g.play);
	jack_client_close(g.rec);
	return 0;
}
