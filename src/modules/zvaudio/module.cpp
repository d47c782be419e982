// The module frame: registration as the sound driver "zvaudio", the start and
// close of the tracks, PortAudio and the module timers.
#include "engine.h"
#include "main_loop_lock.h"
#include "platform.h"
#include "record.h"

std::mutex engine_lock;
period_mutex period_lock;
zvaudio_engine zva;

period_mutex::period_mutex()
{
	pthread_mutexattr_t attr;
	pthread_mutexattr_init(&attr);
	pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
	pthread_mutex_init(&m, &attr);
	pthread_mutexattr_destroy(&attr);
}

void period_mutex::lock()
{
	pthread_mutex_lock(&m);
}

void period_mutex::unlock()
{
	pthread_mutex_unlock(&m);
}

namespace {

constexpr size_t period_bytes = ZV_PERIOD_VALUES * sizeof(int16_t);

// The period's counters, every 10 s while they moved.
void zvaudio_debug(void *arg)
{
	(void)arg;
	zvaudio_log_period_errors();
	if (zva.debug_dirty.exchange(false)) {
		warning("zvaudio_debug\n\tout_ur: %llu \n\tin_or: %llu \n\tring_ur: %llu \n\tring_or: %llu \n",
			(unsigned long long)zva.out_ur.load(), (unsigned long long)zva.in_or.load(),
			(unsigned long long)zva.ring_ur.load(),
			(unsigned long long)zva.ring_or.load());
	}
	tmr_start(&zva.debug_timer, 10000, zvaudio_debug, nullptr);
}

int zvaudio_init(void)
{
	int err =
		ausrc_register(&zva.source_driver, baresip_ausrcl(), "zvaudio", zvaudio_src_alloc);
	int err2 = auplay_register(&zva.player_driver, baresip_auplayl(), "zvaudio",
				   zvaudio_play_alloc);
	if (err || err2)
		return ENOMEM;

	if (odict_alloc(&zva.device_info, 32))
		return ENOMEM;

	zva.mix_buf = static_cast<int16_t *>(mem_zalloc(period_bytes, nullptr));
	zva.silence_buf =
		zva.mix_buf ? static_cast<int16_t *>(mem_zalloc(period_bytes, nullptr)) : nullptr;
	if (!zva.silence_buf)
		return ENOMEM;

	if (zvaudio_tracks_init())
		return ENOMEM;
	if (int err = main_loop_lock_install()) {
		warning("zvaudio: no lock for the main loop (%H)\n", ZV_ERRNO(err));
		return err;
	}
	if (int err = zvaudio_calls_start()) {
		warning("zvaudio: no thread for the calls' audio (%H)\n", ZV_ERRNO(err));
		return err;
	}

	zvaudio_record_init();

	// With old streams still closing, the watchdog starts the sound later.
	if (zvaudio_streams_closing())
		zva.reset_pending = true;
	else if (!zvaudio_sound_open())
		(void)zvaudio_start(); // a failure is shown in the device dictionary

	tmr_init(&zva.debug_timer);
	tmr_start(&zva.debug_timer, 10000, zvaudio_debug, nullptr);
	tmr_init(&zva.watchdog_timer);
	tmr_start(&zva.watchdog_timer, 1000, zvaudio_stream_watchdog, nullptr);
	tmr_init(&zva.receive_timer);
	tmr_start(&zva.receive_timer, 1000, zvaudio_receive_report, nullptr);

	zv_timer_period_begin();
	info("zvaudio ready\n");
	return 0;
}

int zvaudio_close(void)
{
	tmr_cancel(&zva.watchdog_timer);
	tmr_cancel(&zva.receive_timer);
	zva.reset_pending = false;
	zvaudio_sound_stop();
	if (!zvaudio_streams_closing())
		zvaudio_pa_end();
	zvaudio_record_close();

	zva.debug_dirty = true;
	zvaudio_debug(nullptr);
	tmr_cancel(&zva.debug_timer);

	zva.source_driver = static_cast<struct ausrc *>(mem_deref(zva.source_driver));
	zva.player_driver = static_cast<struct auplay *>(mem_deref(zva.player_driver));
	zva.device_info = static_cast<struct odict *>(mem_deref(zva.device_info));

	zvaudio_calls_stop();
	main_loop_lock_remove();
	zvaudio_tracks_close();

	zva.mix_buf = static_cast<int16_t *>(mem_deref(zva.mix_buf));
	zva.silence_buf = static_cast<int16_t *>(mem_deref(zva.silence_buf));
	zv_timer_period_end();
	return 0;
}

}

void zvaudio_log_period_errors()
{
	if (int e = zva.src_in_error.exchange(0))
		warning("zvaudio: Samplerate::src_process_in :returned error : %s %f\n",
			src_strerror(e), zva.src_in_ratio.load(std::memory_order_relaxed));
	if (int e = zva.src_out_error.exchange(0))
		warning("zvaudio: Samplerate::src_process_out :returned error : %s\n",
			src_strerror(e));
}

void zvaudio_set_monorecord(bool on)
{
	zva.monorecord.store(on, std::memory_order_relaxed);
}

void zvaudio_set_monostream(bool on)
{
	zva.monostream.store(on, std::memory_order_relaxed);
}

void zvaudio_set_mute(bool on)
{
	zva.mute.store(on, std::memory_order_relaxed);
}

void zvaudio_set_monitoring(bool on)
{
	zva.monitoring.store(on, std::memory_order_relaxed);
}

struct odict *zvaudio_info(void)
{
	return zva.device_info;
}

bool zvaudio_running(void)
{
	return zva.stream != nullptr;
}

extern "C" const struct mod_export exports_zvaudio = {"zvaudio", "sound", zvaudio_init,
						      zvaudio_close};
