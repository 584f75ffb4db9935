// What the engine tests put between the driver and miniaudio. The test program is linked with
// --wrap for ma_device_init, ma_device_start and ma_device_uninit, so the driver's calls come here
// first and then go on to the real library (and ma_context_get_devices, to give the devices an endpoint id). It lets a test
// - see what the null backend never shows: an endpoint that runs another format than the one
//   asked for (the stream still runs as opened; only what the driver reads back differs), and a
//   stream that opens but does not start;
// - capture what the stream thread hands to the device, period by period;
// - count the streams that are open, so that a path that forgets to close one is seen.
#pragma once

#include <miniaudio.h>

#include <functional>
#include <string>
#include <vector>

namespace seam {

// Back to passing everything through, nothing captured. The engine fixture calls it, and checks
// at the end of each test that every stream opened was closed.
void Reset();

// Streams opened and not yet closed; streams opened since the program began.
int OpenStreams();
int StreamsOpened();

// The next streams read back this internal format, channel count and rate. Only a frame at least
// as wide as 32-bit stereo may be reported, since the backend keeps sizing its buffers by it.
void ReportInternalFormat(ma_format format, ma_uint32 channels, ma_uint32 sampleRate);

// The next ma_device_start fails with `result` and starts nothing.
void FailNextStart(ma_result result);

// Each period the stream thread fills is kept, as the interleaved 32-bit words it holds.
void CaptureStreams();
std::vector<std::vector<ma_uint32>> CapturedPeriods();
// The next streams read back this internal period size and count, as WASAPI reports a buffer
// it rounded to its alignment; the stream itself runs as opened.
void ReportInternalPeriods(ma_uint32 periodFrames, ma_uint32 periods);

// Stops the stream opened last from the calling thread, with a stop that succeeds (so miniaudio
// posts its "stopped" notification), as some backends do when their device goes away. False when
// no stream is open.
bool StopStreamUnderDriver();

// How a stream's device fails once its endpoint is gone, as WASAPI's does: every call on it fails,
// the backend's own stop included, so that miniaudio posts no "stopped" notification.
enum class DeviceLoss {
  kWriteFails,  // the next write fails, and miniaudio's loop ends at once (the event still fires)
  kWriteWaits,  // the next write waits for an event that never comes, until the stream is stopped
};
// Fails the device of the stream opened last, and nobody is told; false when no stream is open.
bool InvalidateDevice(DeviceLoss how);
// The streams opened on an endpoint (PlayOnEndpoint) fail as kWriteWaits when
// sim::UnplugEndpoint takes it away. No stream opens on an unplugged endpoint.

// The configuration the driver opened its latest stream with.
ma_device_config LastStreamConfig();

// Contexts initialised and not yet released.
int OpenContexts();

// Contexts initialised from now on run "WASAPI" as far as the driver can tell, and their playback
// devices carry this endpoint id as their WASAPI id, so that the driver reaches the simulated
// machine's endpoint (sim/audio.h) with it. Each stream then reads back the internal format,
// channels and rate of that endpoint's default format as it is when the stream opens, as
// miniaudio's exclusive mode opens the endpoint in it (ReportInternalFormat still wins). As there,
// a stream must only be opened while that format is at least as wide as 32-bit stereo.
void PlayOnEndpoint(const std::wstring &endpointId);

// Runs `what` inside the next ma_device_init, once the stream has opened (on the thread that opens it).
void DuringNextOpen(std::function<void()> what);

// After a successful start, stay away from the driver this long, so that the stream thread's
// first periods run before start returns.
void HoldAfterStart(int milliseconds);

}  // namespace seam
