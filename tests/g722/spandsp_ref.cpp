#include "spandsp_ref.h"

#include <algorithm>
#include <stdexcept>

#include <spandsp.h>

namespace spandsp_ref {

std::vector<uint8_t> encode(int rate, int options,
			    const std::vector<int16_t> &samples, size_t chunk)
{
	g722_encode_state_t *s = g722_encode_init(nullptr, rate, options);
	if (!s)
		throw std::runtime_error("spandsp encoder init failed");

	std::vector<uint8_t> out(samples.size() + 8);
	size_t n = 0;
	for (size_t pos = 0; pos < samples.size(); pos += chunk) {
		const size_t len = std::min(chunk, samples.size() - pos);
		n += g722_encode(s, out.data() + n, samples.data() + pos, int(len));
	}
	g722_encode_free(s);

	out.resize(n);
	return out;
}

std::vector<int16_t> decode(int rate, int options,
			    const std::vector<uint8_t> &octets, size_t chunk)
{
	g722_decode_state_t *s = g722_decode_init(nullptr, rate, options);
	if (!s)
		throw std::runtime_error("spandsp decoder init failed");

	/* at most 8/6 code words per octet, two samples each */
	std::vector<int16_t> out((octets.size() * 8 / 6 + 2) * 2);
	size_t n = 0;
	for (size_t pos = 0; pos < octets.size(); pos += chunk) {
		const size_t len = std::min(chunk, octets.size() - pos);
		n += g722_decode(s, out.data() + n, octets.data() + pos, int(len));
	}
	g722_decode_free(s);

	out.resize(n);
	return out;
}

}  // namespace spandsp_ref
