// The mixing arithmetic against the one-by-one formula: every single
// addition saturates to -32767 ... 32767 in list order. Loud random audio
// saturates in most samples, in every pattern of callers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "mixminus.h"

namespace {

int32_t saturate(int32_t v)
{
	return std::clamp(v, -32767, 32767);
}

// Caller i's mix-minus summed on its own, as the period defines it.
std::vector<int32_t> one_by_one(const std::vector<std::vector<int16_t>> &calls, size_t i, size_t samples)
{
	std::vector<int32_t> mm(samples);
	bool first = true;
	for (size_t j = 0; j < calls.size(); ++j) {
		if (j == i)
			continue;
		for (size_t k = 0; k < samples; ++k)
			mm[k] = first ? calls[j][k] : saturate(mm[k] + calls[j][k]);
		first = false;
	}
	return mm;
}

// Full scale with both extremes, near-limit values, and quiet audio, so
// that sums saturate in some callers' chains and not in others'.
int16_t loud(std::mt19937 &rng)
{
	switch (rng() % 6) {
	case 0:
		return -32768;
	case 1:
		return 32767;
	case 2:
		return int16_t(30000 - int(rng() % 200));
	case 3:
		return int16_t(-30000 + int(rng() % 200));
	case 4:
		return int16_t(int(rng() % 2001) - 1000);
	default:
		return int16_t(rng());
	}
}

TEST(mixminus, equals_the_one_by_one_sums_for_two_to_seven_callers)
{
	std::mt19937 rng(20240607);
	for (size_t samples : {1u, 2u, 255u, 256u, 257u, 882u, 960u, 19200u}) {
		for (size_t n = 2; n <= 7; ++n) {
			SCOPED_TRACE(testing::Message() << n << " callers, " << samples << " samples");
			std::vector<std::vector<int16_t>> calls(n, std::vector<int16_t>(samples));
			for (auto &c : calls)
				for (auto &v : c)
					v = loud(rng);
			std::vector<std::vector<int32_t>> out(n, std::vector<int32_t>(samples, 12345));
			std::vector<const int16_t *> in_p;
			std::vector<int32_t *> out_p;
			for (size_t i = 0; i < n; ++i) {
				in_p.push_back(calls[i].data());
				out_p.push_back(out[i].data());
			}
			mixminus_build(in_p.data(), out_p.data(), n, samples);
			for (size_t i = 0; i < n; ++i)
				ASSERT_EQ(one_by_one(calls, i, samples), out[i]) << "caller " << i;
		}
	}
}

TEST(mixminus, one_caller_keeps_its_old_mix_minus)
{
	std::vector<int16_t> c(960, 5);
	std::vector<int32_t> mm(960, 77);
	const int16_t *in = c.data();
	int32_t *out = mm.data();
	mixminus_build(&in, &out, 1, 960);
	EXPECT_EQ(std::vector<int32_t>(960, 77), mm);
}

TEST(mixminus, monitor_and_sends_saturate_every_addition)
{
	std::mt19937 rng(7);
	const size_t samples = 963;
	std::vector<int16_t> mix(samples), add(samples), local(samples), out(samples);
	std::vector<int32_t> mm(samples);
	for (size_t k = 0; k < samples; ++k) {
		mix[k] = loud(rng);
		add[k] = loud(rng);
		local[k] = loud(rng);
		// A mix-minus is a saturated sum or one caller as it is.
		mm[k] = k % 3 ? saturate(loud(rng) + loud(rng)) : loud(rng);
	}
	std::vector<int16_t> want(samples);
	for (size_t k = 0; k < samples; ++k)
		want[k] = int16_t(saturate(mix[k] + add[k]));
	mix_add(mix.data(), add.data(), samples);
	EXPECT_EQ(want, mix);

	for (size_t k = 0; k < samples; ++k)
		want[k] = int16_t(saturate(local[k] + mm[k]));
	mix_send(out.data(), local.data(), mm.data(), samples);
	EXPECT_EQ(want, out);

	for (size_t k = 0; k < samples; ++k)
		want[k] = local[k] == -32768 ? -32767 : local[k];
	mix_send_alone(out.data(), local.data(), samples);
	EXPECT_EQ(want, out);
}

}
