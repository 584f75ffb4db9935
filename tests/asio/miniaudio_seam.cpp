#include "miniaudio_seam.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "endpoint_format.h"
#include "sim/audio.h"
#include "sim/threads.h"

extern "C" {
ma_result __real_ma_device_init(ma_context *context, const ma_device_config *config, ma_device *device);
ma_result __real_ma_device_start(ma_device *device);
void __real_ma_device_uninit(ma_device *device);
ma_result __wrap_ma_device_init(ma_context *context, const ma_device_config *config, ma_device *device);
ma_result __wrap_ma_device_start(ma_device *device);
void __wrap_ma_device_uninit(ma_device *device);
ma_result __real_ma_context_init(const ma_backend backends[], ma_uint32 count, const ma_context_config *config,
                                 ma_context *context);
ma_result __real_ma_context_uninit(ma_context *context);
ma_result __wrap_ma_context_init(const ma_backend backends[], ma_uint32 count, const ma_context_config *config,
                                 ma_context *context);
ma_result __wrap_ma_context_uninit(ma_context *context);
ma_result __real_ma_context_get_devices(ma_context *context, ma_device_info **playback, ma_uint32 *playbackCount,
                                        ma_device_info **capture, ma_uint32 *captureCount);
ma_result __wrap_ma_context_get_devices(ma_context *context, ma_device_info **playback, ma_uint32 *playbackCount,
                                        ma_device_info **capture, ma_uint32 *captureCount);
}

namespace {

struct State {
  std::mutex lock;
  bool reportFormat = false;
  ma_uint32 reportPeriodFrames = 0, reportPeriods = 0;
  ma_device *lastOpened = nullptr;
  ma_format format = ma_format_unknown;
  ma_uint32 channels = 0, sampleRate = 0;
  ma_result failStart = MA_SUCCESS;
  bool capture = false;
  int holdMs = 0;
  // One stream at a time is captured: the driver opens one.
  ma_device_data_proc driverCallback = nullptr;
  std::vector<std::vector<ma_uint32>> periods;
  std::wstring endpointId;  // empty: the null backend as it is
  std::set<ma_context *> endpointContexts;
  ma_device_config lastConfig = {};
  // Every open stream: the endpoint it plays on (empty: none) and whether it was failed.
  struct Stream {
    std::wstring endpoint;
    bool invalidated = false;
    seam::DeviceLoss how = seam::DeviceLoss::kWriteWaits;
  };
  std::map<ma_device *, Stream> streams;
  std::function<void()> duringOpen;
};

State &Seam() {
  static State state;
  return state;
}

std::atomic<int> openStreams{0};
std::atomic<int> streamsOpened{0};
std::atomic<int> openContexts{0};

// The backend's own write and stop, under the seam's, which fail them for a lost device.
typedef ma_result (*WriteProc)(ma_device *, const void *, ma_uint32, ma_uint32 *);
typedef ma_result (*StopProc)(ma_device *);
std::atomic<WriteProc> backendWrite{nullptr};
std::atomic<StopProc> backendStop{nullptr};

bool DeviceLost(ma_device *device, seam::DeviceLoss *how) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  auto found = s.streams.find(device);
  if (found == s.streams.end()) return false;
  const State::Stream &stream = found->second;
  if (stream.invalidated) {
    *how = stream.how;
    return true;
  }
  *how = seam::DeviceLoss::kWriteWaits;
  return !stream.endpoint.empty() && !sim::EndpointPresent(stream.endpoint);
}

ma_result LosingWrite(ma_device *device, const void *frames, ma_uint32 count, ma_uint32 *written) {
  seam::DeviceLoss how;
  if (!DeviceLost(device, &how)) return backendWrite.load()(device, frames, count, written);
  // WASAPI's GetBuffer answers AUDCLNT_E_DEVICE_INVALIDATED; or the wait before it never ends,
  // until a stop wakes it.
  if (how == seam::DeviceLoss::kWriteWaits)
    while (ma_device_get_state(device) == ma_device_state_started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (written) *written = 0;
  return MA_UNAVAILABLE;
}

ma_result LosingStop(ma_device *device) {
  ma_result result = backendStop.load()(device);
  seam::DeviceLoss how;
  // IAudioClient::Stop fails on an invalidated device, and miniaudio then posts nothing.
  return DeviceLost(device, &how) ? MA_UNAVAILABLE : result;
}

void CapturingCallback(ma_device *device, void *output, const void *input, ma_uint32 frames) {
  State &s = Seam();
  ma_device_data_proc driver;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    driver = s.driverCallback;
  }
  if (driver) driver(device, output, input, frames);
  const ma_uint32 *words = static_cast<const ma_uint32 *>(output);
  std::lock_guard<std::mutex> guard(s.lock);
  s.periods.emplace_back(words, words + frames * 2);
}

// What miniaudio's exclusive mode opens the endpoint in: its default format.
bool EndpointInternalFormat(const std::wstring &id, ma_format *format, ma_uint32 *channels, ma_uint32 *rate) {
  std::vector<uint8_t> bytes = sim::EndpointDefaultFormat(id);
  EndpointFormat parsed;
  if (!ParseWaveFormat(bytes.data(), bytes.size(), &parsed)) return false;
  switch (parsed.containerBits) {
    case 8:
      *format = ma_format_u8;
      break;
    case 16:
      *format = ma_format_s16;
      break;
    case 24:
      *format = ma_format_s24;
      break;
    default:
      *format = parsed.isFloat ? ma_format_f32 : ma_format_s32;
  }
  *channels = parsed.channels;
  *rate = parsed.sampleRate;
  return true;
}

std::wstring EndpointIdText(const ma_device_id &id) {
  std::wstring text;
  for (size_t i = 0; i < 64 && id.wasapi[i] != 0; ++i) text.push_back(static_cast<wchar_t>(id.wasapi[i]));
  return text;
}

}  // namespace

ma_result __wrap_ma_context_get_devices(ma_context *context, ma_device_info **playback, ma_uint32 *playbackCount,
                                        ma_device_info **capture, ma_uint32 *captureCount) {
  ma_result result = __real_ma_context_get_devices(context, playback, playbackCount, capture, captureCount);
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  if (result != MA_SUCCESS || !playback || !playbackCount || !s.endpointContexts.count(context)) return result;
  for (ma_uint32 i = 0; i < *playbackCount; ++i) {
    ma_device_id &id = (*playback)[i].id;
    memset(&id, 0, sizeof(id));
    for (size_t c = 0; c < s.endpointId.size() && c + 1 < 64; ++c) id.wasapi[c] = static_cast<ma_wchar_win32>(s.endpointId[c]);
  }
  return result;
}

ma_result __wrap_ma_device_init(ma_context *context, const ma_device_config *config, ma_device *device) {
  State &s = Seam();
  ma_device_config copy = *config;
  std::wstring endpoint;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.endpointId.empty())
      endpoint = config->playback.pDeviceID ? EndpointIdText(*config->playback.pDeviceID) : s.endpointId;
    // WASAPI's Activate on an endpoint that is not there.
    if (!endpoint.empty() && !sim::EndpointPresent(endpoint)) return MA_UNAVAILABLE;
    if (s.capture) {
      s.driverCallback = config->dataCallback;
      copy.dataCallback = CapturingCallback;
    }
  }
  ma_result result = __real_ma_device_init(context, &copy, device);
  if (result != MA_SUCCESS) return result;
  ++openStreams;
  ++streamsOpened;
  std::function<void()> during;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    during.swap(s.duringOpen);
  }
  if (during) during();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.reportFormat) {
    device->playback.internalFormat = s.format;
    device->playback.internalChannels = s.channels;
    device->playback.internalSampleRate = s.sampleRate;
  }
  if (s.reportPeriods != 0) {
    device->playback.internalPeriodSizeInFrames = s.reportPeriodFrames;
    device->playback.internalPeriods = s.reportPeriods;
  }
  if (!s.reportFormat && !s.endpointId.empty()) {
    std::wstring id = config->playback.pDeviceID ? EndpointIdText(*config->playback.pDeviceID) : s.endpointId;
    ma_format format;
    ma_uint32 channels, rate;
    if (EndpointInternalFormat(id, &format, &channels, &rate)) {
      device->playback.internalFormat = format;
      device->playback.internalChannels = channels;
      device->playback.internalSampleRate = rate;
    }
  }
  s.lastOpened = device;
  s.lastConfig = *config;
  s.streams[device].endpoint = endpoint;
  return result;
}

ma_result __wrap_ma_context_init(const ma_backend backends[], ma_uint32 count, const ma_context_config *config,
                                 ma_context *context) {
  ma_result result = __real_ma_context_init(backends, count, config, context);
  if (result == MA_SUCCESS) {
    // Before any stream exists on the context, so the stream threads only ever see the seam's.
    if (context->callbacks.onDeviceWrite != LosingWrite) {
      backendWrite = context->callbacks.onDeviceWrite;
      backendStop = context->callbacks.onDeviceStop;
      context->callbacks.onDeviceWrite = LosingWrite;
      context->callbacks.onDeviceStop = LosingStop;
    }
    ++openContexts;
    State &s = Seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.endpointId.empty()) {
      context->backend = ma_backend_wasapi;
      s.endpointContexts.insert(context);
    }
  }
  return result;
}

ma_result __wrap_ma_context_uninit(ma_context *context) {
  --openContexts;
  {
    // The null backend releases what it made.
    State &s = Seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.endpointContexts.erase(context)) context->backend = ma_backend_null;
  }
  return __real_ma_context_uninit(context);
}

ma_result __wrap_ma_device_start(ma_device *device) {
  State &s = Seam();
  int hold;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.failStart != MA_SUCCESS) {
      ma_result failed = s.failStart;
      s.failStart = MA_SUCCESS;
      return failed;
    }
    hold = s.holdMs;
  }
  ma_result result = __real_ma_device_start(device);
  if (result == MA_SUCCESS && hold > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold));
  return result;
}

void __wrap_ma_device_uninit(ma_device *device) {
  // miniaudio waits here for the stream's thread to end.
  sim::WaitingForThreadEnd();
  {
    State &s = Seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.lastOpened == device) s.lastOpened = nullptr;
  }
  __real_ma_device_uninit(device);
  {
    State &s = Seam();
    std::lock_guard<std::mutex> guard(s.lock);
    s.streams.erase(device);
  }
  --openStreams;
}

namespace seam {

void Reset() {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reportFormat = false;
  s.reportPeriods = 0;
  s.failStart = MA_SUCCESS;
  s.capture = false;
  s.holdMs = 0;
  s.driverCallback = nullptr;
  s.periods.clear();
  s.endpointId.clear();
  s.duringOpen = nullptr;
}

void DuringNextOpen(std::function<void()> what) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.duringOpen = std::move(what);
}

void PlayOnEndpoint(const std::wstring &endpointId) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.endpointId = endpointId;
}

int OpenStreams() { return openStreams.load(); }

int StreamsOpened() { return streamsOpened.load(); }

int OpenContexts() { return openContexts.load(); }

void ReportInternalPeriods(ma_uint32 periodFrames, ma_uint32 periods) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reportPeriodFrames = periodFrames;
  s.reportPeriods = periods;
}

bool StopStreamUnderDriver() {
  State &s = Seam();
  ma_device *device;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    device = s.lastOpened;
  }
  return device && ma_device_stop(device) == MA_SUCCESS;
}

bool InvalidateDevice(DeviceLoss how) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.lastOpened) return false;
  State::Stream &stream = s.streams[s.lastOpened];
  stream.invalidated = true;
  stream.how = how;
  return true;
}

void ReportInternalFormat(ma_format format, ma_uint32 channels, ma_uint32 sampleRate) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reportFormat = true;
  s.format = format;
  s.channels = channels;
  s.sampleRate = sampleRate;
}

void FailNextStart(ma_result result) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failStart = result;
}

void CaptureStreams() {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.capture = true;
}

std::vector<std::vector<ma_uint32>> CapturedPeriods() {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.periods;
}

ma_device_config LastStreamConfig() {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.lastConfig;
}

void HoldAfterStart(int milliseconds) {
  State &s = Seam();
  std::lock_guard<std::mutex> guard(s.lock);
  s.holdMs = milliseconds;
}

}  // namespace seam
