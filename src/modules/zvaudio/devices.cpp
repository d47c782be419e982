// The sound card: host API and device choice, the two PortAudio streams,
// restarts, the stream watchdog and the device dictionary for the page.
#include "engine.h"
#include "record.h"

#include <algorithm>
#include <climits>
#include <new>

namespace {

// Host API type numbers as ints: newer PortAudio versions number types that
// the enumeration of this one does not hold (PulseAudio is 16).
constexpr int pulseaudio_type = 16;

// The host APIs tried first, in order, when none is chosen.
constexpr int default_order[] = {pulseaudio_type, 13, 5};

PaHostApiIndex host_api_of_type(int type)
{
	const int n = Pa_GetHostApiCount();
	for (PaHostApiIndex i = 0; i < n; i++) {
		const PaHostApiInfo *api = Pa_GetHostApiInfo(i);
		if (api && int(api->type) == type)
			return i;
	}
	return -1;
}

const char *host_api_name(const PaHostApiInfo *api)
{
	switch (int(api->type)) {
	case 1:
		return "DirectSound";
	case 2:
		return "MME";
	case 5:
		return "CoreAudio";
	case 8:
		return "ALSA";
	case 11:
		return "WDM-KS";
	case 12:
		return "JACK";
	case 13:
		return "WASAPI";
	case 16:
		return "PulseAudio";
	default:
		return api->name;
	}
}

const PaDeviceInfo *device_of_host_api(int d)
{
	if (d < 0 || d >= Pa_GetDeviceCount())
		return nullptr;
	const PaDeviceInfo *dev = Pa_GetDeviceInfo(d);
	if (!dev || dev->hostApi != zva.host_api_index)
		return nullptr;
	return dev;
}

bool valid_input(int d)
{
	const PaDeviceInfo *dev = device_of_host_api(d);
	return dev && dev->maxInputChannels > 0;
}

bool valid_output(int d)
{
	const PaDeviceInfo *dev = device_of_host_api(d);
	return dev && dev->maxOutputChannels > 0;
}

int input_channel_count(int d)
{
	const PaDeviceInfo *dev = Pa_GetDeviceInfo(d);
	if (!dev)
		return 0;
	int c = dev->maxInputChannels;
	const PaHostApiInfo *api = Pa_GetHostApiInfo(dev->hostApi);
	if (api && int(api->type) == pulseaudio_type &&
	    (d == api->defaultInputDevice || d == api->defaultOutputDevice))
		c = std::min(c, 2);
	return std::min(c, 64);
}

int output_channel_count(int d)
{
	const PaDeviceInfo *dev = Pa_GetDeviceInfo(d);
	return dev ? std::min(dev->maxOutputChannels, 2) : 0;
}

// The state's memory; its streams are closed or kept by the release.
void stream_state_destructor(void *arg)
{
	auto *st = static_cast<zvaudio_stream_state *>(arg);
	if (st->src_in)
		src_delete(st->src_in);
	if (st->src_out)
		src_delete(st->src_out);
	mem_deref(st->s16);
	mem_deref(st->in_f);
	mem_deref(st->rs_f);
	mem_deref(st->out_f);
	mem_deref(st->ring_data);
	mem_deref(st->out_follow_data);
	mem_deref(st->out_follow_channels);
	mem_deref(st->out_block);
	st->~zvaudio_stream_state();
}

void add_int(struct odict *o, const char *key, int64_t v)
{
	odict_entry_add(o, key, ODICT_INT, v);
}

void add_bool(struct odict *o, const char *key, bool v)
{
	odict_entry_add(o, key, ODICT_BOOL, int(v));
}

void device_info_add(struct odict *list, int d, bool input)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 32))
		return;
	const PaDeviceInfo *dev = Pa_GetDeviceInfo(d);
	add_int(o, "id", d);
	odict_entry_add(o, "display", ODICT_STRING, dev->name);
	if (input) {
		int channels = input_channel_count(d);
		info("zvaudio: input device: %s (%d channels)\n", dev->name, channels);
		add_int(o, "channels", channels);
		add_int(o, "first_input_channel", zva.first_input_channel.load());
		add_bool(o, "selected", d == zva.input_index);
	}
	else {
		info("zvaudio: output device: %s\n", dev->name);
		add_bool(o, "selected", d == zva.output_index);
	}
	char key[16];
	re_snprintf(key, sizeof(key), "%d", d);
	odict_entry_add(list, key, ODICT_OBJECT, o);
	mem_deref(o);
}

// A new empty dictionary in place of the current one; false when none
// could be made (the engine then holds none).
bool renew_device_info()
{
	zva.device_info = static_cast<struct odict *>(mem_deref(zva.device_info));
	return odict_alloc(&zva.device_info, 32) == 0;
}

// "error_msg" of the device dictionary: error_text, as its last entry.
void show_error_text()
{
	odict_entry_del(zva.device_info, "error_msg");
	odict_entry_add(zva.device_info, "error_msg", ODICT_STRING, zva.error_text);
}

int command_reset()
{
	if (!renew_device_info())
		return ENOMEM;
	return zvaudio_reset();
}

}

zvaudio_stream_state *zvaudio_stream_state_alloc()
{
	void *mem = mem_zalloc(sizeof(zvaudio_stream_state), stream_state_destructor);
	if (!mem)
		return nullptr;
	auto *st = new (mem) zvaudio_stream_state();
	st->s16 = static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(int16_t), nullptr));
	st->in_f = static_cast<float *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(float), nullptr));
	st->rs_f = static_cast<float *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(float), nullptr));
	st->out_f = static_cast<float *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(float), nullptr));
	st->ring_data =
		static_cast<float *>(mem_zalloc(ZV_RING_FRAMES * 2 * sizeof(float), nullptr));
	if (!st->s16 || !st->in_f || !st->rs_f || !st->out_f || !st->ring_data ||
	    !st->ring.init(st->ring_data, 2 * sizeof(float), ZV_RING_FRAMES))
		return static_cast<zvaudio_stream_state *>(mem_deref(st));
	int err = 0;
	st->src_in = src_new(SRC_SINC_FASTEST, 2, &err);
	if (st->src_in)
		st->src_out = src_new(SRC_SINC_FASTEST, 2, &err);
	if (!st->src_in || !st->src_out) {
		warning("zvaudio/start: Samplerate::src_new failed : %s.\n", src_strerror(err));
		return static_cast<zvaudio_stream_state *>(mem_deref(st));
	}
	st->out_spare.store(LONG_MAX, std::memory_order_relaxed);
	follow_control_init(&st->out_control, OUT_SPARE_LO, OUT_SPARE_LO + OUT_SPARE_BAND);
	return st;
}

// The follower of the monitor mix and its output block, for an output at
// 48 kHz on a clock of its own; the period uses neither on JACK, and a
// resampled output takes only the follower's speed.
bool zvaudio_out_follower_init(zvaudio_stream_state *st)
{
	if (st->jack || st->out_rate != double(ZV_RATE) || st->out_block)
		return true;
	const size_t follow_frames = follow_storage_frames(ZV_PERIOD_VALUES / 2);
	st->out_follow_data =
		static_cast<int16_t *>(mem_zalloc(2 * follow_frames * sizeof(int16_t), nullptr));
	st->out_follow_channels =
		static_cast<float *>(mem_zalloc(2 * follow_frames * sizeof(float), nullptr));
	st->out_block =
		static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(int16_t), nullptr));
	if (!st->out_follow_data || !st->out_follow_channels || !st->out_block)
		return false;
	follow_init(&st->out_follow, st->out_follow_data, st->out_follow_channels, follow_frames);
	return true;
}

namespace {

void list_host_apis()
{
	const int n = Pa_GetHostApiCount();
	if (zva.host_api_index >= n || zva.host_api_index < -1)
		zva.host_api_index = -1;

	if (zva.host_api_index == -1) {
		for (int type : default_order) {
			PaHostApiIndex i = host_api_of_type(type);
			const PaHostApiInfo *api = i >= 0 ? Pa_GetHostApiInfo(i) : nullptr;
			if (api && api->deviceCount > 0) {
				zva.host_api_index = i;
				break;
			}
		}
		if (zva.host_api_index == -1)
			zva.host_api_index = Pa_GetDefaultHostApi();
	}

	struct odict *host_apis = nullptr;
	if (odict_alloc(&host_apis, 32))
		return;
	for (int i = 0; i < n; ++i) {
		const PaHostApiInfo *api = Pa_GetHostApiInfo(i);
		if (!api)
			continue;
		const char *name = host_api_name(api);
		info("zvaudio/drivers detected: %s (%d devices)\n", name, api->deviceCount);
		struct odict *o = nullptr;
		if (odict_alloc(&o, 32))
			break;
		odict_entry_add(o, "display", ODICT_STRING, name);
		add_bool(o, "selected", i == zva.host_api_index);
		add_int(o, "id", i);
		char key[16];
		re_snprintf(key, sizeof(key), "%d", i);
		odict_entry_add(host_apis, key, ODICT_OBJECT, o);
		mem_deref(o);
		if (i == zva.host_api_index)
			info("zvaudio/drivers: %s selected\n", name);
	}
	odict_entry_add(zva.device_info, "drivers", ODICT_ARRAY, host_apis);
	mem_deref(host_apis);
}

void list_devices()
{
	zva.stream = zvaudio_stream_state_alloc();
	if (!zva.stream)
		return;

	const PaHostApiInfo *api = Pa_GetHostApiInfo(zva.host_api_index);
	if (!api) {
		warning("zvaudio/devices: invalid driver %d\n", zva.host_api_index);
		return;
	}

	struct odict *inputs = nullptr, *outputs = nullptr;
	if (odict_alloc(&inputs, 32) || odict_alloc(&outputs, 32)) {
		mem_deref(inputs);
		mem_deref(outputs);
		return;
	}

	if (!valid_input(zva.input_index))
		zva.input_index = api->defaultInputDevice;
	if (!valid_output(zva.output_index))
		zva.output_index = api->defaultOutputDevice;
	for (int j = 0; j < api->deviceCount; ++j) {
		int d = Pa_HostApiDeviceIndexToDeviceIndex(zva.host_api_index, j);
		if (!valid_input(zva.input_index) && valid_input(d))
			zva.input_index = d;
		if (!valid_output(zva.output_index) && valid_output(d))
			zva.output_index = d;
	}

	// A negative channel is out of range as much as one past the last.
	const int first = zva.first_input_channel.load();
	if (first != ZV_ALL_CHANNELS && valid_input(zva.input_index) &&
	    (first < 0 || first >= input_channel_count(zva.input_index)))
		zva.first_input_channel.store(0);

	for (int j = 0; j < api->deviceCount; ++j) {
		int d = Pa_HostApiDeviceIndexToDeviceIndex(zva.host_api_index, j);
		if (d < 0)
			continue;
		if (valid_input(d))
			device_info_add(inputs, d, true);
		if (valid_output(d))
			device_info_add(outputs, d, false);
	}
	odict_entry_add(zva.device_info, "input", ODICT_ARRAY, inputs);
	odict_entry_add(zva.device_info, "output", ODICT_ARRAY, outputs);
	mem_deref(inputs);
	mem_deref(outputs);
}

// Opens and starts the two streams of the state on the chosen devices; 0
// or the error.
int open_streams(zvaudio_stream_state *st)
{
	if (!st)
		return EINVAL;
	if (!valid_input(zva.input_index)) {
		warning("zvaudio/start: invalid input device\n");
		return EINVAL;
	}
	if (!valid_output(zva.output_index)) {
		warning("zvaudio/start: invalid output device\n");
		return EINVAL;
	}

	const PaDeviceInfo *in_dev = Pa_GetDeviceInfo(zva.input_index);
	const PaDeviceInfo *out_dev = Pa_GetDeviceInfo(zva.output_index);
	info("zvaudio/start: in dev: %s\n", in_dev->name);
	info("zvaudio/start: out dev: %s\n", out_dev->name);

	const PaHostApiInfo *api = Pa_GetHostApiInfo(in_dev->hostApi);
	st->jack = api && api->type == paJACK;
	st->in_channels = input_channel_count(zva.input_index);
	st->out_channels = output_channel_count(zva.output_index);

	PaStreamParameters in = {};
	in.device = zva.input_index;
	in.channelCount = st->in_channels;
	in.sampleFormat = paFloat32;
	in.suggestedLatency = in_dev->defaultLowInputLatency;
	PaStreamParameters out = {};
	out.device = zva.output_index;
	out.channelCount = st->out_channels;
	out.sampleFormat = paFloat32;
	out.suggestedLatency = out_dev->defaultLowOutputLatency;

	st->in_rate = Pa_IsFormatSupported(&in, nullptr, ZV_RATE) == paFormatIsSupported
			      ? double(ZV_RATE)
			      : in_dev->defaultSampleRate;
	st->out_rate = Pa_IsFormatSupported(nullptr, &out, ZV_RATE) == paFormatIsSupported
			       ? double(ZV_RATE)
			       : out_dev->defaultSampleRate;
	if (!zvaudio_out_follower_init(st))
		return ENOMEM;

	PaError pa = Pa_OpenStream(&st->in_stream, &in, nullptr, st->in_rate,
				   (unsigned long)(st->in_rate * 10 / 1000),
				   paClipOff | paDitherOff, input_callback, nullptr);
	if (pa == paNoError)
		pa = Pa_OpenStream(&st->out_stream, nullptr, &out, st->out_rate,
				   (unsigned long)(st->out_rate * 10 / 1000),
				   paClipOff | paDitherOff, output_callback, nullptr);
	if (pa != paNoError) {
		warning("zvaudio/start: Pa_OpenStream: %s\n", Pa_GetErrorText(pa));
		return EINVAL;
	}

	info("zvaudio/start: in: %dhz (%dch) out: %dhz (%dch)\n", int(st->in_rate), st->in_channels,
	     int(st->out_rate), st->out_channels);

	st->started = false;
	pa = Pa_StartStream(st->in_stream);
	if (pa == paNoError)
		pa = Pa_StartStream(st->out_stream);
	if (pa != paNoError) {
		warning("zvaudio/start: Pa_StartStream: %s\n", Pa_GetErrorText(pa));
		return EIO;
	}
	return 0;
}

// The page is told, the state goes, and a running recording stops.
void start_failed(int err)
{
	re_snprintf(zva.error_text, sizeof(zva.error_text),
		    "Error starting Audio, please try reload or select another device...");
	if (zva.device_info) {
		show_error_text();
		odict_entry_add(zva.device_info, "running", ODICT_BOOL, false);
	}
	zvaudio_devices_changed();
	zva.device_error = true;
	zvaudio_stream_release();
	warning("zvaudio/start: error %H\n", ZV_ERRNO(err));
	zvaudio_record_device_lost();
}

}

int zvaudio_sound_open()
{
	if (int err = zvaudio_pa_restart())
		return err;
	list_host_apis();
	list_devices();
	return 0;
}

int zvaudio_start()
{
	const int err = open_streams(zva.stream);
	zvaudio_watch_settle();
	if (err) {
		start_failed(err);
		return err;
	}
	info("zvaudio/start: success\n");
	return 0;
}

void zvaudio_sound_stop()
{
	zvaudio_stream_release();
	zvaudio_record_finish();
}

int zvaudio_reset()
{
	info("zvaudio/reset\n");
	zvaudio_sound_stop();
	zva.warmup_periods = 0;

	if (zva.device_error) {
		zva.output_index = -1;
		zva.input_index = -1;
		zva.first_input_channel = 0;
		sys_usleep(400000);
		zva.device_error = false;
	}

	if (zvaudio_streams_closing()) {
		warning("zvaudio/reset: waiting for the old streams to close\n");
		zva.reset_pending = true;
		zvaudio_devices_changed();
		return ENODEV;
	}
	zva.reset_pending = false;

	if (zvaudio_sound_open()) {
		zvaudio_devices_changed();
		return ENODEV;
	}
	zvaudio_devices_changed();
	(void)zvaudio_start(); // a failure is shown in the device dictionary
	return 0;
}

void zvaudio_stream_watchdog(void *arg)
{
	(void)arg;
	tmr_start(&zva.watchdog_timer, 1000, zvaudio_stream_watchdog, nullptr);
	zvaudio_log_period_errors();

	if (zva.reset_pending) {
		if (!zvaudio_streams_closing() && renew_device_info())
			zvaudio_reset();
		return;
	}

	zvaudio_stream_state *st = zva.stream;
	if (!st || !st->in_stream || !st->out_stream)
		return;
	if (Pa_IsStreamActive(st->in_stream) == 1 && Pa_IsStreamActive(st->out_stream) == 1)
		return;

	warning("zvaudio: audio stream stopped, restarting\n");
	zvaudio_record_device_lost();
	zva.device_error = true;
	if (!renew_device_info())
		return;
	zvaudio_reset();
}

int zvaudio_reload(void)
{
	return command_reset();
}

int zvaudio_set_host_api(int id)
{
	zva.device_error = false;
	zva.output_index = -1;
	zva.input_index = -1;
	zva.first_input_channel = 0;
	zva.host_api_index = id;
	return command_reset();
}

int zvaudio_set_input(int id)
{
	zva.device_error = false;
	zva.first_input_channel = 0;
	zva.input_index = id;
	return command_reset();
}

int zvaudio_set_first_input_channel(int channel)
{
	zva.device_error = false;
	zva.first_input_channel = channel;
	return command_reset();
}

int zvaudio_set_output(int id)
{
	zva.device_error = false;
	zva.output_index = id;
	return command_reset();
}

void zvaudio_set_error(const char *text)
{
	if (!zva.device_info || !text)
		return;
	str_ncpy(zva.error_text, text, sizeof(zva.error_text));
	show_error_text();
	zvaudio_devices_changed();
}
