#include "media_timeout.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t timeout_s = 60;

// The text with which the library closes a call whose stream timed out;
// the timeout is the only stream error of this library version.
const char stream_error_text[] = "rtp stream error";

uint32_t seconds()
{
	const char *test = std::getenv("ZORVANE_TEST_RTP_TIMEOUT");
	if (!test)
		return timeout_s;
	char *end = nullptr;
	const unsigned long v = std::strtoul(test, &end, 10);
	return *test && !*end && v >= 1 && v <= 3600 ? static_cast<uint32_t>(v) : timeout_s;
}

}

void webapp_media_timeout_set(struct call *call)
{
	call_enable_rtp_timeout(call, seconds() * 1000);
}

const char *webapp_media_closed_text(const char *text)
{
	if (!text || std::strcmp(text, stream_error_text))
		return text;
	static char message[64];
	re_snprintf(message, sizeof(message), "No audio from the partner for %u s", seconds());
	return message;
}
