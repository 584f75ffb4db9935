// The streaming engine of ASIOPelkor: the device list, the double buffers, the exclusive playback
// stream and what its stream thread does every period.
//
// Threads. The host's calls run on the host's threads; the data callback runs on the one stream
// thread that miniaudio creates for each opened stream. Every call into miniaudio that may reach
// COM (the context, the device list, opening, starting, stopping and closing a stream) is handed
// to the driver's audio thread and waited for (audio_thread.h), so that the host's apartment is
// never touched; the host thread itself makes no COM initialisation of its own either. The stream
// thread never hands anything over. There is no lock on the stream's way. What keeps the stream
// thread safe is the order of the host-side steps:
// - everything the stream thread reads that is not atomic (the blocks, their sizes, callbacks,
//   timeInfoMode, streamRate, bufferIndex, asioTime) is written by the host only while no stream
//   is open: createBuffers and init stop a running stream before they touch anything, and start
//   sets them up before ma_device_init creates the thread;
// - `started` is set before the stream is opened and cleared before it is stopped, and
//   ma_device_stop returns only after the stream thread has left the data callback;
// - blocks are freed only after the stream has stopped;
// - what a host may change while the stream runs reaches the stream thread through atomics only
//   (started, timeCodeRead, pendingTimeFlags), and what the stream thread publishes for other
//   threads (the sample position and the time stamp) goes out under a sequence count.
//
// A host may also call stop, disposeBuffers or Release from inside its own bufferSwitch, that is
// on the stream thread, where miniaudio forbids ma_device_stop and ma_device_uninit (the stop
// waits for the very thread that asks). The driver then gives the stream up at once: the period
// under way asks the host nothing more and touches no field of the driver once the host's call
// returns, later periods and notifications of that stream no longer find the driver, and a thread
// of its own stops and closes the stream (with the context too, when the driver is gone). The
// next call on a host thread waits for that thread. The stream thread itself never waits.
//
// A device that goes away under a stream is noticed by the device watch (device_watch.h): its
// thread, not the stream's, asks the host to reset. The host's stop takes the stream from the watch
// before closing it, so a stop the driver asked for is never taken for a loss.
#include "driver.h"

#include <atomic>
#include <new>
#include <thread>

#include <malloc.h>
#include <mmsystem.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "audio_thread.h"
#include "device_choice.h"
#include "device_watch.h"
#include "driver_thread.h"
#include "dsd_request.h"
#include "identity.h"
#include "settings_watch.h"
#include "stream.h"
#include "stream_format.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VANTREL_WIDE_VECTORS 1
#define VANTREL_FORCE_INLINE inline __attribute__((always_inline))
#else
#define VANTREL_WIDE_VECTORS 0
#define VANTREL_FORCE_INLINE inline
#endif

namespace {

// Blocks start on a cache line.
const size_t kBlockAlignment = 64;
// Two halves per block, stereo frames in the stream.
const int kHalves = 2;
const ma_uint32 kStreamChannels = 2;
const double kTwoTo32 = 4294967296.0;
// The time code runs this many seconds ahead of the sample position.
const double kTimeCodeLeadSeconds = 600.0;
const unsigned long kTimeInfoStartFlags = kSystemTimeValid | kSamplePositionValid;
const unsigned long kTimeCodeFlags = kTcValid | kTcRunning;
// The I/O format selectors of future that createBuffers asks the host about; the last one twice.
const long kFormatSelectors[] = {kAsioSetIoFormat, kAsioGetIoFormat, kAsioCanDoIoFormat, kAsioCanDoIoFormat};

// htonl's conversion, done inline: on the little-endian machines Windows runs on, the byte that
// came first in the host's memory becomes the word's most significant byte. Written as shifts so
// that the compiler makes one byte-swap instruction of it and the copy loop stays a copy loop.
inline UINT32 ToNetworkOrder(UINT32 word) {
  return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

// A timeGetTime reading in nanoseconds, as two words. In whole numbers: a 32-bit count of
// milliseconds times 10^6 is below 2^53, so this is exactly what the product in double precision
// would give, without the conversions.
void StampOfMilliseconds(DWORD milliseconds, ASIOTimeStamp *ts) {
  ULONGLONG nanoseconds = static_cast<ULONGLONG>(milliseconds) * 1000000u;
  ts->hi = static_cast<ULONG>(nanoseconds >> 32);
  ts->lo = static_cast<ULONG>(nanoseconds);
}

void PrintLine(const char *text) {
  printf("%s\n", text);
  fflush(stdout);
}

const char kStreamLostText[] =
    "The device went away while playing (unplugged or disabled): the stream stopped; start again to play";
const char kDeviceAbsentText[] = "The device is not there (unplugged or disabled): plug it in, then start again";

// The driver whose data or notification callback runs on this thread, and whether the host gave
// the stream up from inside it (a stop, disposeBuffers or Release in its bufferSwitch or in its
// asioMessage).
struct CallbackFrame {
  ASIOPelkor *driver;
  bool abandoned;
};
thread_local CallbackFrame *currentFrame = nullptr;

// Entered around every call from a stream callback into the driver. The thread's slot is looked
// up once: in a DLL built with MinGW each lookup of a thread_local is a call into the runtime.
// GCC takes the frame left in the slot for a dangling pointer; the destructor puts the outer
// frame back before the frame goes.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
class EnteredCallback {
 public:
  explicit EnteredCallback(ASIOPelkor *driver) : frame{driver, false}, slot(&currentFrame), outer(*slot) {
    *slot = &frame;
  }
  ~EnteredCallback() { *slot = outer; }
  EnteredCallback(const EnteredCallback &) = delete;
  EnteredCallback &operator=(const EnteredCallback &) = delete;
  bool Abandoned() const { return frame.abandoned; }

 private:
  CallbackFrame frame;
  CallbackFrame **slot;
  CallbackFrame *outer;
};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The driver's callback frame on this thread, when the host called the driver from inside it.
CallbackFrame *FrameOf(const ASIOPelkor *driver) {
  return currentFrame && currentFrame->driver == driver ? currentFrame : nullptr;
}


// Stops the stream (ma_device_stop waits until the stream thread has left the data callback) and
// closes it; the caller frees it.
void CloseDevice(ma_device *device) {
  ma_device_stop(device);
  ma_device_uninit(device);
}

// On a thread of its own, for a stream the host gave up inside one of its callbacks (or one
// stopped under the loader lock, which its closing must not wait for). The thread is in the
// multithreaded apartment while it closes the stream, as the audio thread is.
void CloseStreamAway(void *stream) {
  ma_device *device = static_cast<ma_device *>(stream);
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CloseDevice(device);
  ma_free(device, nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
}

// What a driver released on its own stream thread leaves behind: the thread closing its stream,
// and the context, which must outlive the stream, with the audio thread it lives on. The module
// stays loaded (a live object) until all are gone.
struct Leftovers {
  HANDLE closer;
  ma_context *context;
  AudioThread *audio;
  SettingsWatch *watch;
  DeviceWatch *deviceWatch;
  ReplacedFormat replaced;
  CBaseObject keepLoaded{"ASIOPelkor leftovers"};
};

void ReleaseLeftovers(void *parameter) {
  Leftovers *leftovers = static_cast<Leftovers *>(parameter);
  if (leftovers->watch) leftovers->watch->Stop();
  if (DeviceWatch *watch = leftovers->deviceWatch) {
    RunOnAudioThread(leftovers->audio, [watch] { watch->Unregister(); });
    watch->Stop(/* mayWait */ true);
  }
  JoinDriverThread(&leftovers->closer);
  // Once the stream is closed, the endpoint's own format goes back.
  ReplacedFormat *replaced = &leftovers->replaced;
  RunOnAudioThread(leftovers->audio, [replaced] { RestoreEndpointFormat(replaced); });
  if (ma_context *context = leftovers->context) {
    RunOnAudioThread(leftovers->audio, [context] { ma_context_uninit(context); });
    ma_free(context, nullptr);
  }
  delete leftovers->audio;
  delete leftovers;
}

}  // namespace

void GetNanoSeconds(ASIOTimeStamp *ts) { StampOfMilliseconds(timeGetTime(), ts); }

// Interleaves `frames` words of each channel into stereo frames. The pointers never overlap (the
// stream's buffer is miniaudio's, the blocks are the driver's), which lets the compiler turn the
// loop into vector loads, shuffles and stores.
template <bool Dsd>
VANTREL_FORCE_INLINE void Interleave(const UINT32 *__restrict left, const UINT32 *__restrict right,
                                     UINT32 *__restrict out, size_t frames) {
  for (size_t i = 0; i < frames; ++i) {
    out[2 * i] = Dsd ? ToNetworkOrder(left[i]) : left[i];
    out[2 * i + 1] = Dsd ? ToNetworkOrder(right[i]) : right[i];
  }
}

#if VANTREL_WIDE_VECTORS
// The same loop compiled for AVX2, taken when the processor has it: twice the width, and a byte
// shuffle for the DSD words, which SSE2 does not have.
template <bool Dsd>
__attribute__((target("avx2"))) void InterleaveWide(const UINT32 *left, const UINT32 *right, UINT32 *out,
                                                    size_t frames) {
  Interleave<Dsd>(left, right, out, frames);
}

static bool ProcessorHasWideVectors() { return __builtin_cpu_supports("avx2"); }
#else
static bool ProcessorHasWideVectors() { return false; }
#endif

// The loop in use: unchosen (-1) until the first copy asks, then a CopyLoop. Constant-initialised,
// so nothing runs when the module loads.
static std::atomic<int> chosenCopyLoop{-1};

[[maybe_unused]] static CopyLoop ChosenCopyLoop() {
  int loop = chosenCopyLoop.load(std::memory_order_relaxed);
  if (loop < 0) {
    loop = static_cast<int>(ProcessorHasWideVectors() ? CopyLoop::kWide : CopyLoop::kPortable);
    chosenCopyLoop.store(loop, std::memory_order_relaxed);
  }
  return static_cast<CopyLoop>(loop);
}

bool UseCopyLoop(CopyLoop loop) {
  if (loop == CopyLoop::kWide && !ProcessorHasWideVectors()) return false;
  chosenCopyLoop.store(static_cast<int>(loop), std::memory_order_relaxed);
  return true;
}

template <bool Dsd>
void InterleaveBest(const UINT32 *left, const UINT32 *right, UINT32 *out, size_t frames) {
#if VANTREL_WIDE_VECTORS
  if (ChosenCopyLoop() == CopyLoop::kWide) {
    InterleaveWide<Dsd>(left, right, out, frames);
    return;
  }
#endif
  Interleave<Dsd>(left, right, out, frames);
}

// Copies the half the host filled one period earlier into the stream. Only the blocks as
// allocated are read, whatever has happened to blockFrames or ioFormat since.
template <bool Dsd>
VANTREL_FORCE_INLINE void CopyBlock(ASIOPelkor *driver, INT32 *output, ma_uint32 frameCount) {
  UINT32 *out = reinterpret_cast<UINT32 *>(output);
  size_t frames = 0;
  if (driver->activeOutputs > 0 && driver->outputBuffers[0]) {
    size_t blockFrames = static_cast<size_t>(driver->streamFrames);
    frames = frameCount < blockFrames ? frameCount : blockFrames;
    size_t offset = static_cast<size_t>(driver->halfStride) * static_cast<size_t>(driver->bufferIndex);
    const UINT32 *left = reinterpret_cast<const UINT32 *>(driver->outputBuffers[0]) + offset;
    // A single output plays on both stream channels.
    const UINT32 *right = driver->activeOutputs > 1 && driver->outputBuffers[1]
                              ? reinterpret_cast<const UINT32 *>(driver->outputBuffers[1]) + offset
                              : left;
    InterleaveBest<Dsd>(left, right, out, frames);
  }
  const UINT32 silence = Dsd ? kDsdSilenceWord : 0u;
  for (size_t i = frames * kStreamChannels; i < static_cast<size_t>(frameCount) * kStreamChannels; ++i)
    out[i] = silence;
}

void ASIOPelkor::silenceHalf(LONG half) {
  const UINT32 silence = IsDsdMode() ? static_cast<UINT32>(kDsdSilenceWord) : 0u;
  size_t words = static_cast<size_t>(halfStride);
  for (LONG i = 0; i < activeOutputs && i < kOutputChannels; ++i) {
    if (!outputBuffers[i]) continue;
    UINT32 *start = reinterpret_cast<UINT32 *>(outputBuffers[i]) + words * static_cast<size_t>(half);
    for (size_t w = 0; w < words; ++w) start[w] = silence;
  }
}

template <bool Dsd>
void PlaySilence(void *output, ma_uint32 frameCount) {
  UINT32 *out = static_cast<UINT32 *>(output);
  const UINT32 silence = Dsd ? kDsdSilenceWord : 0u;
  for (size_t i = 0; i < static_cast<size_t>(frameCount) * kStreamChannels; ++i) out[i] = silence;
}

template <bool Dsd>
void RunPeriod(ma_device *device, void *output, ma_uint32 frameCount) {
  ASIOPelkor *driver = static_cast<ASIOPelkor *>(device->pUserData);
  // A stream the host gave up: the driver may be gone.
  if (!driver) {
    PlaySilence<Dsd>(output, frameCount);
    return;
  }
  EnteredCallback entered(driver);
  if (driver->deviceWatch) driver->deviceWatch->NoteRunning();
  // A period that asks the host nothing (start has not returned yet, or the host has stopped and
  // the stream is on its way out) plays silence: the half in turn was played a period ago, and
  // must not come twice.
  if (!driver->asksHost()) {
    PlaySilence<Dsd>(output, frameCount);
    return;
  }
  // The period's one clock reading: the host's time stamp and the status's count of late periods.
  DWORD now = timeGetTime();
  if (DriverStatus *status = driver->status) status->CountPeriod(now);
  driver->processBlock(now);
  // Once the host gave the stream up in its switch, nothing of the driver may be touched.
  if (entered.Abandoned()) {
    PlaySilence<Dsd>(output, frameCount);
    return;
  }
  driver->finishBlock();
  CopyBlock<Dsd>(driver, static_cast<INT32 *>(output), frameCount);
}

void PcmDataCallback(ma_device *device, void *output, const void *, ma_uint32 frameCount) {
  RunPeriod<false>(device, output, frameCount);
}

void DsdDataCallback(ma_device *device, void *output, const void *, ma_uint32 frameCount) {
  RunPeriod<true>(device, output, frameCount);
}

// Runs on miniaudio's thread for the stream, like the data callback.
void StreamNotification(const ma_device_notification *notification) {
  ASIOPelkor *driver = static_cast<ASIOPelkor *>(notification->pDevice->pUserData);
  if (!driver) return;
  EnteredCallback entered(driver);
  driver->onStreamNotification(notification->type);
}

bool ASIOPelkor::inStreamCallback() const { return FrameOf(this) != nullptr; }

bool ASIOPelkor::StreamLost() const { return streamLost || (deviceWatch && deviceWatch->Lost()); }

const char *ASIOPelkor::ErrorText() const { return StreamLost() ? kStreamLostText : errorMessage; }

ASIOPelkor::~ASIOPelkor() {
  if (ProcessIsExiting()) {
    // Released while the process exits (from a static destructor of a module unloaded after this
    // one, or from its DLL_PROCESS_DETACH): the system has ended every other thread, the stream's
    // and the audio thread among them, and will take back the device, the memory and the handles
    // with the process. Nothing can be waited for, so nothing is closed; the user's endpoint
    // format is put back by the next driver that starts.
    return;
  }
  // On the stream thread (a host that releases the driver in its own callback) or under the
  // loader lock (a host releasing from a DllMain), the threads cannot be waited for: they are left
  // to a thread of the driver's own.
  bool onStreamThread = FrameOf(this) != nullptr || ThreadHoldsLoaderLock();
  // Nothing may tell the host anything from here on. Stopping the watch may wait for a check in
  // progress, which the stream thread must not: there it is left to the leftovers' thread.
  if (settingsWatch) {
    settingsWatch->Aim(nullptr);
    if (!onStreamThread) {
      settingsWatch->Stop();
      settingsWatch = nullptr;
    }
  }
  halt();
  dispose();
  // The stream is closed or given up: nothing counts through the status any more.
  closeStatus(!onStreamThread);
  if (onStreamThread) {
    handOffContext();
    return;
  }
  if (deviceWatch) {
    // Inside the watch's own message to the host, the watch frees itself once the host returns.
    onAudioThread([this] { deviceWatch->Unregister(); });
    deviceWatch->Stop(/* mayWait */ true);
    deviceWatch = nullptr;
  }
  // The stream is closed: the user's own format goes back to the endpoint now, not at every stop,
  // since hosts open and close streams often.
  if (replacedFormat.active) logLine("endpoint format: the user's format goes back");
  onAudioThread([this] { RestoreEndpointFormat(&replacedFormat); });
  if (contextReady) onAudioThread([this] { ma_context_uninit(audioContext); });
  ma_free(audioContext, nullptr);
  audioContext = nullptr;
  contextReady = false;
  delete audioThread;
  audioThread = nullptr;
}


void ASIOPelkor::handOffContext() {
  // On the stream thread of a stream that stop has just given up: neither its closer nor the
  // context can be waited for here.
  Leftovers *leftovers = new (std::nothrow) Leftovers();
  HANDLE closer = takeCloser();
  if (!leftovers) {
    // Nothing to hand them to: the context and the watch (aimed at nobody) stay allocated rather
    // than vanish under the threads that use them.
    if (closer) CloseHandle(closer);
    if (deviceWatch) deviceWatch->Stop(/* mayWait */ false);
    deviceWatch = nullptr;
    return;
  }
  leftovers->watch = settingsWatch;
  settingsWatch = nullptr;
  leftovers->deviceWatch = deviceWatch;
  deviceWatch = nullptr;
  leftovers->audio = audioThread;
  audioThread = nullptr;
  leftovers->replaced = replacedFormat;
  replacedFormat.active = false;
  leftovers->closer = closer;
  leftovers->context = contextReady ? audioContext : nullptr;
  if (!contextReady) ma_free(audioContext, nullptr);
  audioContext = nullptr;
  contextReady = false;
  if (!StartDriverThread(ReleaseLeftovers, leftovers, /* thread */ nullptr)) {
    if (leftovers->closer) CloseHandle(leftovers->closer);
    leftovers->closer = nullptr;
    leftovers->replaced.active = false;
    leftovers->context = nullptr;
    leftovers->watch = nullptr;
    leftovers->audio = nullptr;
    // Nobody left to unregister it: the watch ends on its own, its client cut off.
    if (leftovers->deviceWatch) leftovers->deviceWatch->Stop(/* mayWait */ false);
    delete leftovers;
  }
}

// Whoever takes the stream out of playbackStream owns it, and is the only one to close it: a host
// thread's stop, a stop made inside one of the stream's own callbacks, a release. The others find
// nothing to close. So a stop inside the switch that another thread's stop is waiting for leaves
// the stream to that thread.
void ASIOPelkor::closeStream() {
  started = false;
  // The stream is no longer the watch's before it stops, so that its stop is no loss; a reset
  // request under way reaches the host first.
  if (deviceWatch) deviceWatch->Forget(/* mayWait */ ThreadsCanBeJoined());
  ma_device *device = playbackStream.exchange(nullptr);
  if (!device) return;
  // The stream's thread has been ended with every other thread; the system takes the device back.
  if (ProcessIsExiting()) return;
  if (ThreadHoldsLoaderLock()) {
    // Stopped here, so that the host is called no more (its code may be on its way out), but
    // closed on a thread of its own: closing waits for the stream's thread to end, and a thread
    // cannot end while this one holds the loader lock.
    onAudioThread([device] { ma_device_stop(device); });
    closeAway(device);
    return;
  }
  onAudioThread([device] { CloseDevice(device); });
  ma_free(device, nullptr);
}

void ASIOPelkor::abandonStream() {
  started = false;
  // The stream thread never waits, not even for a reset request on its way.
  if (deviceWatch) deviceWatch->Forget(/* mayWait */ false);
  if (CallbackFrame *frame = FrameOf(this)) frame->abandoned = true;
  ma_device *device = playbackStream.exchange(nullptr);
  // Taken already: a host thread is closing it, and waits for this very callback to return.
  if (!device) return;
  // Read only on this thread from here on, by the stream's later periods and notifications.
  device->pUserData = nullptr;
  closeAway(device);
}

void ASIOPelkor::closeAway(ma_device *device) {
  HANDLE closer = nullptr;
  // No thread to close it: it keeps playing silence until the process ends.
  if (!StartDriverThread(CloseStreamAway, device, &closer)) return;
  // One stream at a time is open, and start waits for the closer before it opens the next; one
  // left from a hostile order of calls is let go (it holds the module until it is done).
  HANDLE earlier;
  {
    std::lock_guard<std::mutex> guard(closerLock);
    earlier = streamCloser;
    streamCloser = closer;
  }
  if (earlier) CloseHandle(earlier);
}

HANDLE ASIOPelkor::takeCloser() {
  std::lock_guard<std::mutex> guard(closerLock);
  HANDLE closer = streamCloser;
  streamCloser = nullptr;
  return closer;
}

void ASIOPelkor::closeOrAbandonStream() {
  if (FrameOf(this)) {
    abandonStream();
    return;
  }
  finishPendingClose();
  closeStream();
}

void ASIOPelkor::finishPendingClose() {
  if (FrameOf(this) || !ThreadsCanBeJoined()) return;
  HANDLE closer = takeCloser();
  JoinDriverThread(&closer);
}

void ASIOPelkor::tellHost(long selector, bool claimed) {
  if (!claimed || !callbacks || !callbacks->asioMessage) return;
  if (status) status->LogQueue().Push(kLogMessageSent, static_cast<INT32>(selector), 0);
  callbacks->asioMessage(selector, 0, nullptr, nullptr);
}

void ASIOPelkor::onStreamNotification(ma_device_notification_type type) {
  switch (type) {
    case ma_device_notification_type_stopped:
      // A stop the driver asked for clears `started` first; any other means the endpoint went
      // away (miniaudio, given a device id, does not follow another device): the host has to
      // reopen, and is asked to once.
      if (!started.exchange(false)) return;
      streamLost = true;
      if (status) status->NoteDeviceLost();
      // The device watch may have seen it first, and then logged it and told the host already.
      if (!deviceWatch || deviceWatch->MarkLost()) {
        if (status) status->LogQueue().Push(kLogDeviceLost);
        tellHost(kAsioResetRequest, hostTakesReset);
      }
      return;
    case ma_device_notification_type_rerouted:
      // The stream now plays somewhere else than the device it was opened on, perhaps converted:
      // only a reopen brings it back to the device.
      if (started) tellHost(kAsioResetRequest, hostTakesReset);
      return;
    default:
      // Started and unlocked are the driver's own doing; interruptions come only from backends
      // of other systems, and the stream resumes by itself after one.
      return;
  }
}

void ASIOPelkor::setErrorText(const char *text) {
  const size_t hostChars = kErrorMessageChars;
  size_t capacity = sizeof(errorMessage) < hostChars ? sizeof(errorMessage) : hostChars;
  snprintf(errorMessage, capacity, "%s", text);
}

void ASIOPelkor::noteTimeInfoChange(unsigned long flag) {
  // While the stream runs, asioTime belongs to the stream thread.
  if (started)
    pendingTimeFlags.fetch_or(flag);
  else
    asioTime.timeInfo.flags |= flag;
}

void ASIOPelkor::publishPosition(double position, const ASIOTimeStamp &stamp) {
  // Odd while the words change. Each word is stored with release, so none of them can be seen
  // before the odd count; the even count is stored last.
  ULONG sequence = positionSequence.load(std::memory_order_relaxed);
  positionSequence.store(sequence + 1, std::memory_order_relaxed);
  samplePosition.store(position, std::memory_order_release);
  systemTime.hi.store(stamp.hi, std::memory_order_release);
  systemTime.lo.store(stamp.lo, std::memory_order_release);
  positionSequence.store(sequence + 2, std::memory_order_release);
}

ASIOBool ASIOPelkor::init(void *) {
  // From inside a callback of the stream that plays on the context: the context cannot go.
  if (FrameOf(this)) return ASIOFalse;
  // A stream still open on the context must be closed before the context goes.
  closeOrAbandonStream();
  if (contextReady) {
    onAudioThread([this] { ma_context_uninit(audioContext); });
    contextReady = false;
  }
  playbackDevices = nullptr;
  playbackCount = 0;

  if (!audioThread) audioThread = new (std::nothrow) AudioThread();
  if (!audioContext) audioContext = static_cast<ma_context *>(ma_malloc(sizeof(ma_context), nullptr));
  // No audio thread, no context: start then says that no audio system could be opened.
  if (audioThread && audioThread->Start() && audioContext) {
    onAudioThread([this] {
      // A format a crashed or killed host left on an endpoint goes back before anything else.
      SettleFormatRecords();
      contextReady = ma_context_init(/* backends */ nullptr, 0, /* config */ nullptr, audioContext) == MA_SUCCESS;
      ma_device_info *devices = nullptr;
      ma_uint32 count = 0;
      if (contextReady &&
          ma_context_get_devices(audioContext, &devices, &count, /* capture */ nullptr, nullptr) == MA_SUCCESS) {
        playbackDevices = devices;
        playbackCount = devices ? count : 0;
      }
    });
  }

  WCHAR moduleFileName[MAX_PATH];
  LPOLESTR description = nullptr, driverName = nullptr;
  if (LoadDriverIdentity(moduleFileName, &description, &driverName) != 0) return 2;
  deviceIndex = 0;
  LONG match = FindPlaybackDevice(playbackDevices, playbackCount, description, /* list */ true);
  if (match >= 0) deviceIndex = match;
  CoTaskMemFree(description);
  CoTaskMemFree(driverName);
  publishStatus();
  logLine("init() = ASIOTrue: %u playback devices, device %ld", static_cast<unsigned>(playbackCount),
          static_cast<long>(deviceIndex));
  return ASIOTrue;
}

void ASIOPelkor::releaseBlocks() {
  for (LONG i = 0; i < activeOutputs && i < kOutputChannels; ++i) {
    _aligned_free(outputBuffers[i]);
    outputBuffers[i] = nullptr;
  }
  activeOutputs = 0;
  streamFrames = 0;
  halfStride = 0;
}

ASIOError ASIOPelkor::createBuffers(ASIOBufferInfo *bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks *hostCallbacks) {
  // Buffers made before are given up first, and the stream that plays them with them: a host
  // that calls createBuffers twice gets the second set, and nothing is lost.
  if (callbacks || activeOutputs > 0) dispose();

  bool dsd = IsDsdMode();
  // In DSD mode the size counts one-bit samples: 32 to a word.
  long frames = dsd ? (bufferSize >> 5) : bufferSize;
  if (!hostCallbacks || (numChannels > 0 && !bufferInfos) || frames < 1 || frames > kMaxBlockFrames)
    return ASE_InvalidParameter;
  blockFrames = static_cast<LONG>(frames);

  // A host that reads the DSD size as bytes rather than one-bit samples writes bufferSize bytes
  // per half: each half has room for that many, so it cannot write past the block.
  size_t halfWords = static_cast<size_t>(frames);
  if (dsd) {
    size_t bytesReading = (static_cast<size_t>(bufferSize) + sizeof(INT32) - 1) / sizeof(INT32);
    if (bytesReading > halfWords) halfWords = bytesReading;
  }
  size_t blockBytes = halfWords * sizeof(INT32) * kHalves;

  activeOutputs = 0;
  bool shortOfMemory = false;
  for (long n = 0; n < numChannels; ++n) {
    ASIOBufferInfo &info = bufferInfos[n];
    if (info.isInput || info.channelNum < 0 || info.channelNum >= kOutputChannels ||
        activeOutputs == kOutputChannels) {
      releaseBlocks();
      return ASE_InvalidParameter;
    }
    outputChannels[activeOutputs] = static_cast<LONG>(info.channelNum);
    INT32 *block = static_cast<INT32 *>(_aligned_malloc(blockBytes, kBlockAlignment));
    if (block) {
      // Both halves start silent, so the first period (which plays the half the host has not
      // filled yet) is silence rather than whatever the memory held.
      if (dsd)
        memset(block, static_cast<int>(kDsdSilenceWord & 0xFF), blockBytes);
      else
        memset(block, 0, blockBytes);
      info.buffers[0] = block;
      info.buffers[1] = block + halfWords;
    } else {
      info.buffers[0] = nullptr;
      info.buffers[1] = nullptr;
      shortOfMemory = true;
    }
    outputBuffers[activeOutputs] = block;
    ++activeOutputs;
  }
  if (shortOfMemory) {
    releaseBlocks();
    return ASE_NoMemory;
  }
  streamFrames = blockFrames;
  halfStride = static_cast<LONG>(halfWords);
  bufferIndex = 0;

  callbacks = hostCallbacks;
  if (callbacks->asioMessage && callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0) {
    timeInfoMode = true;
    asioTime.timeInfo.speed = 1.0;
    asioTime.timeInfo.systemTime.hi = asioTime.timeInfo.systemTime.lo = 0;
    asioTime.timeInfo.samplePosition.hi = asioTime.timeInfo.samplePosition.lo = 0;
    asioTime.timeInfo.sampleRate = static_cast<ASIOSampleRate>(sampleRate);
    asioTime.timeInfo.flags = kTimeInfoStartFlags;
    asioTime.timeCode.speed = 1.0;
    asioTime.timeCode.timeCodeSamples.hi = asioTime.timeCode.timeCodeSamples.lo = 0;
    asioTime.timeCode.flags = kTimeCodeFlags;
  } else {
    timeInfoMode = false;
  }
  if (callbacks->asioMessage)
    for (long selector : kFormatSelectors) callbacks->asioMessage(kAsioSelectorSupported, selector, nullptr, nullptr);
  // Asked once here, so that neither the stream thread nor a later call has to ask: a host is
  // sent only the messages it claims.
  hostTakesReset = callbacks->asioMessage &&
                   callbacks->asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr) != 0;
  hostTakesLatencyChange = callbacks->asioMessage && callbacks->asioMessage(kAsioSelectorSupported,
                                                                            kAsioLatenciesChanged, nullptr, nullptr) != 0;
  latencyRead = false;
  composeStreamLatency(static_cast<ma_uint32>(streamFrames), StreamPeriodCount(settingThreads));
  if (settingsWatch) settingsWatch->Aim(hostTakesReset ? callbacks->asioMessage : nullptr, logTarget());
  // The stream is opened now, so that start only starts it, and the latency the host reads next
  // is the stream's own. What goes wrong is said again when start tries once more.
  if (!FrameOf(this) && contextReady) prepareStream();
  publishStatus();
  return logAnswer(ASE_OK, "createBuffers(%ld channels, %ld, time info %s)", numChannels, bufferSize,
                   timeInfoMode ? "yes" : "no");
}

// The output latency, from the moment a bufferSwitch hands the host a half to the moment the
// first frame it writes there reaches the device:
// - one half (streamFrames): the data callback copies the half the host filled one period
//   earlier, so what the host writes now enters the stream at the next period;
// - then the stream's own buffer, `periods` periods of periodFrames: each period the callback
//   fills goes in behind the periods still queued, the one the device plays included.
// Before start the figure is made from what was asked of the stream; start replaces it with what
// miniaudio really opened (WASAPI may round the period up to its alignment).
void ASIOPelkor::composeStreamLatency(ma_uint32 periodFrames, ma_uint32 periods) {
  ULONGLONG frames = static_cast<ULONGLONG>(streamFrames) + static_cast<ULONGLONG>(periodFrames) * periods;
  // Reported in the unit of the buffer size: one-bit samples in DSD mode.
  if (IsDsdMode()) frames *= kDsdBitsPerWord;
  if (frames > 0x7FFFFFFF) frames = 0x7FFFFFFF;
  outputLatency = static_cast<LONG>(frames);
}

ASIOError ASIOPelkor::disposeBuffers() {
  dispose();
  return logAnswer(ASE_OK, "disposeBuffers()");
}

void ASIOPelkor::dispose() {
  if (settingsWatch) settingsWatch->Aim(nullptr);
  // The stream closes before the callbacks go, so the stream thread never sees them change.
  closeOrAbandonStream();
  callbacks = nullptr;
  hostTakesReset = hostTakesLatencyChange = false;
  latencyRead = false;
  outputLatency = bufferlessLatency;
  releaseBlocks();
  publishStatus();
}

// Opens the exclusive stream for the buffers and the rate the host chose, stopped, so that start
// only has to start it: the endpoint's format, the device's open and the format guard take tens
// of milliseconds on a real system, during which a host that already sees switches but has not
// yet seen start return (most hosts ignore such switches) would lose the first periods. What is
// found is said through getErrorMessage; ASE_NotPresent when there is no stream to start.
ASIOError ASIOPelkor::prepareStream() {
  errorMessage[0] = '\0';
  lastFollow = kFollowNotTried;
  statusVerdict = kStatusNoStream;
  statusEndpoint = StreamFormat{ma_format_unknown, 0, 0};
  if (!contextReady) {
    setErrorText("No audio system could be opened: init failed or was not called");
    PrintLine(errorMessage);
    logLine("error: %s", errorMessage);
    return ASE_NotPresent;
  }

  char text[kErrorMessageChars];
  if (!StreamRateIsPlayable(sampleRate)) {
    snprintf(text, sizeof(text), "A stream at %u Hz cannot be played: set a sample rate of 44100 Hz or more",
             static_cast<unsigned>(sampleRate));
    setErrorText(text);
    PrintLine(errorMessage);
    logLine("error: %s", errorMessage);
    return ASE_NotPresent;
  }

  // miniaudio opens the endpoint in its default format whatever the stream asks for, so the
  // stream's format is made the default first. Whatever goes wrong there, the stream opens as it
  // would have, and the guard below decides.
  HRESULT followWhy = S_OK;
  EndpointId endpoint;
  bool onEndpoint = playbackEndpoint(endpoint);
  if (!deviceWatch) deviceWatch = DeviceWatch::Create();
  onAudioThread([&] {
    // Listening before anything touches the endpoint, so that a plug pulled from here on is heard.
    if (deviceWatch && onEndpoint) deviceWatch->Register(endpoint);
    lastFollow = followStreamRate(sampleRate, &followWhy);
  });
  if (lastFollow == kFollowChanged)
    logLine("endpoint format: set to 32-bit, 2 ch, %lu Hz for the stream", static_cast<unsigned long>(sampleRate));
  if (deviceWatch && deviceWatch->Gone()) {
    setErrorText(kDeviceAbsentText);
    PrintLine(errorMessage);
    return ASE_NotPresent;
  }

  bool dsd = IsDsdMode();
  ma_device_config config = ma_device_config_init(ma_device_type_playback);
  config.sampleRate = sampleRate;
  // One period is one buffer half as the host was given it. With a period count above 1 miniaudio
  // asks WASAPI for a buffer of that many periods and still calls back with exactly one half at a
  // time, so the host's switches come in bursts of `periods` when the device drains the buffer,
  // and the output runs that many halves behind (which getLatencies counts in, see
  // composeStreamLatency).
  config.periodSizeInFrames = static_cast<ma_uint32>(streamFrames);
  config.periods = StreamPeriodCount(settingThreads);
  config.noFixedSizedCallback = MA_FALSE;
  config.dataCallback = dsd ? DsdDataCallback : PcmDataCallback;
  config.notificationCallback = StreamNotification;
  config.pUserData = this;
  // No device listed (none found at init): the library's default playback device.
  config.playback.pDeviceID = deviceIndex >= 0 && static_cast<ma_uint32>(deviceIndex) < playbackCount
                                  ? &playbackDevices[deviceIndex].id
                                  : nullptr;
  config.playback.format = ma_format_s32;
  config.playback.channels = kStreamChannels;
  config.playback.shareMode = ma_share_mode_exclusive;
  config.wasapi.usage = ma_wasapi_usage_pro_audio;
  // Never rerouted by miniaudio's own notification thread (which it does for the default device):
  // a stream that loses its device stops, and the driver asks the host to reopen, so that no
  // thread but the driver's ever stops, restarts or closes the stream.
  config.wasapi.noAutoStreamRouting = MA_TRUE;

  ma_device *stream = static_cast<ma_device *>(ma_malloc(sizeof(ma_device), nullptr));
  if (!stream) {
    setErrorText("No memory for the stream");
    return ASE_NotPresent;
  }
  ma_result result = MA_ERROR;
  onAudioThread([&] { result = ma_device_init(audioContext, &config, stream); });
  if (result != MA_SUCCESS) {
    ma_free(stream, nullptr);
    // The system may not have told yet that the plug was pulled: it is asked.
    if (deviceWatch) onAudioThread([this] { deviceWatch->ReadState(); });
    if (deviceWatch && deviceWatch->Gone()) {
      setErrorText(kDeviceAbsentText);
    } else {
      snprintf(text, sizeof(text), "The device could not be opened in exclusive mode (%s)",
               ma_result_description(result));
      setErrorText(text);
    }
    PrintLine(errorMessage);
    logLine("error: %s", errorMessage);
    return ASE_NotPresent;
  }
  streamRate = sampleRate;
  streamDsd = dsd;

  StreamFormat internal = {stream->playback.internalFormat, stream->playback.internalChannels,
                           stream->playback.internalSampleRate};
  StreamFormatVerdict verdict = CheckStreamFormat(dsd, sampleRate, internal);
  statusEndpoint = internal;
  statusVerdict = verdict == kStreamUnconverted ? kStatusBitPerfect
                  : verdict == kStreamConverted ? kStatusConverted
                                                : kStatusRefused;
  logLine("stream opened: asked %s, 32-bit, 2 ch, %lu Hz; the endpoint runs %s, %u ch, %u Hz", dsd ? "DSD" : "PCM",
          static_cast<unsigned long>(sampleRate), SampleFormatName(internal.format),
          static_cast<unsigned>(internal.channels), static_cast<unsigned>(internal.sampleRate));
  if (verdict != kStreamUnconverted) {
    if (!DescribeFollowFailure(verdict, lastFollow, followWhy, sampleRate, internal, text, sizeof(text)))
      DescribeStreamFormat(verdict, sampleRate, internal, text, sizeof(text));
    setErrorText(text);
    PrintLine(errorMessage);
    logLine("error: %s", errorMessage);
  }
  // Refused (no vendor request: the device stays in PCM and nothing plays), or gone while the
  // stream was being opened: it is not kept.
  bool gone = verdict != kStreamRefused && deviceWatch && deviceWatch->Gone();
  if (verdict == kStreamRefused || gone) {
    onAudioThread([stream] { ma_device_uninit(stream); });
    ma_free(stream, nullptr);
    if (gone) {
      setErrorText(kDeviceAbsentText);
      PrintLine(errorMessage);
      logLine("error: %s", errorMessage);
    }
    statusVerdict = kStatusRefused;
    publishStatus();
    return ASE_NotPresent;
  }
  // The latency of the stream as it was really opened (WASAPI may round the period up).
  composeStreamLatency(stream->playback.internalPeriodSizeInFrames, stream->playback.internalPeriods);
  // A new stream: whatever was lost before is behind it.
  streamLost = false;
  if (deviceWatch) deviceWatch->ClearLost();
  // Opened and stopped: no callback runs, so no other thread can take it before this one hands it
  // over.
  playbackStream = stream;
  return ASE_OK;
}

// Whether the prepared stream still plays what the host chose: setSampleRate and future may have
// changed the rate or the I/O format since.
bool ASIOPelkor::streamFits() const { return streamRate == sampleRate && streamDsd == IsDsdMode(); }

ASIOError ASIOPelkor::start() {
  // From inside a bufferSwitch: the stream that calls it is running, or was given up in it.
  if (FrameOf(this)) return playbackStream ? ASE_OK : ASE_NotPresent;
  finishPendingClose();
  if (!callbacks) {
    started = false;
    setErrorText("start before createBuffers: there are no buffers to play");
    return logAnswer(ASE_NotPresent, "start() before createBuffers");
  }
  // A stream whose device went away is closed, and start says so: the host was asked to reset,
  // and a start is not one. The next start opens a stream again.
  if (playbackStream && StreamLost()) {
    closeStream();
    PrintLine(kStreamLostText);
    return logAnswer(ASE_NotPresent, "start() on a lost stream");
  }
  // Already running: the open stream stays as it is.
  if (started && playbackStream) return logAnswer(ASE_OK, "start() while playing");

  // Taken while it is set up for the run, so that no other call closes it meanwhile. A stream that
  // no longer fits the rate or the format is closed and opened again.
  started = false;
  ma_device *stream = playbackStream.exchange(nullptr);
  if (stream && !streamFits()) {
    playbackStream = stream;
    closeStream();
    stream = nullptr;
  }
  streamLost = false;
  if (deviceWatch) deviceWatch->ClearLost();
  // The device went away since createBuffers opened the stream (the system is asked, in case it
  // has not told yet): it is not started at all.
  if (stream && deviceWatch) onAudioThread([this] { deviceWatch->ReadState(); });
  if (stream && deviceWatch && deviceWatch->Gone()) {
    playbackStream = stream;
    closeStream();
    setErrorText(kDeviceAbsentText);
    PrintLine(errorMessage);
    logLine("error: %s", errorMessage);
    return logAnswer(ASE_NotPresent, "start()");
  }
  LONG announced = outputLatency;
  if (!stream) {
    if (prepareStream() != ASE_OK) return logAnswer(ASE_NotPresent, "start()");
    stream = playbackStream.exchange(nullptr);
  }

  bufferIndex = 0;
  // The first period plays half 1 before any switch has filled it: after an earlier run it still
  // holds that run's last, unplayed words, which would reach the device a stream late.
  silenceHalf(1);
  ASIOTimeStamp zero = {0, 0};
  publishPosition(0.0, zero);
  pendingTimeFlags = 0;

  if (streamDsd) SendDsdModeRequest(DeviceIdPrefix);

  // Everything start does after the stream runs is settled first: from its first switch on, the
  // host may stop, dispose or release the driver from inside it, which closes this stream on
  // another thread, so neither the stream nor the driver's fields may be read after that switch.
  // A latency changes here only when start had to open the stream again.
  bool latencyWasRead = latencyRead.exchange(false);
  ASIOCallbacks *host = hostTakesLatencyChange ? callbacks : nullptr;
  bool announce = outputLatency != announced && latencyWasRead && host && host->asioMessage;
  // Watched from before it starts: from its first period on the stream may be lost at any moment.
  if (deviceWatch)
    deviceWatch->Watch(stream, hostTakesReset && callbacks->asioMessage ? callbacks->asioMessage : nullptr, logTarget(),
                       status);
  if (status) {
    // Late: more than the stream's whole buffer (its periods) plus half a period after the
    // period before, by when the device has played everything it had.
    ULONGLONG periodMicroseconds = static_cast<ULONGLONG>(stream->playback.internalPeriodSizeInFrames) * 1000000u /
                                   (streamRate ? streamRate : 1);
    ULONG periods = stream->playback.internalPeriods ? stream->playback.internalPeriods : 1;
    status->ResetCounters(periodMicroseconds * periods + periodMicroseconds / 2);
  }
  playbackStream = stream;
  started = true;
  // The host is asked for nothing before start has returned to it: hosts take the switches only
  // from then on, and one that ignores the earlier ones would have its half played unfilled. The
  // periods the stream plays before then (WASAPI fills the device's whole buffer at once) are
  // silence, and the first switch still starts at half 0 and the sample position at one half.
  hostSwitching = false;
  ma_result result = MA_ERROR;
  onAudioThread([&] { result = ma_device_start(stream); });
  if (result == MA_SUCCESS) {
    // Nothing has asked the host yet, so nothing can have released the driver.
    publishStatus();
    logAnswer(ASE_OK, "start()");
    if (announce) {
      logLine("asioMessage(kAsioLatenciesChanged) sent to the host");
      host->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    }
    hostSwitching.store(true, std::memory_order_release);
    return ASE_OK;
  }
  outputLatency = announced;
  latencyRead = latencyWasRead;
  closeStream();
  char text[kErrorMessageChars];
  snprintf(text, sizeof(text), "The device's stream could not be started (%s)", ma_result_description(result));
  setErrorText(text);
  PrintLine(errorMessage);
  statusVerdict = kStatusRefused;
  publishStatus();
  logLine("error: %s", errorMessage);
  return logAnswer(ASE_NotPresent, "start() after all");
}

bool ASIOPelkor::playbackEndpoint(EndpointId id) const {
  id[0] = L'\0';
  return contextReady && deviceIndex >= 0 && static_cast<ma_uint32>(deviceIndex) < playbackCount &&
         EndpointIdOf(*audioContext, playbackDevices[deviceIndex], id);
}

bool ASIOPelkor::endpointToAsk(EndpointId id) const {
  // Never from inside a stream callback (COM must not be entered there), and not while a stream
  // holds the endpoint exclusively.
  id[0] = L'\0';
  return !FrameOf(this) && !playbackStream && playbackEndpoint(id);
}

FollowOutcome ASIOPelkor::followStreamRate(ULONG rate, HRESULT *why) {
  *why = S_OK;
  EndpointId id;
  if (!settingFollowRate || !playbackEndpoint(id)) return kFollowNotTried;
  FormatBytes before;
  if (ReadEndpointFormat(id, &before) != S_OK) return kFollowNotTried;
  if (IsStreamFormat(before, rate)) {
    JoinFormatRecord(&replacedFormat, id, before);
    return kFollowAlready;
  }
  FormatBytes wanted;
  MakeStreamFormat(rate, &wanted);
  HRESULT accepted = AskExclusiveFormat(id, wanted);
  if (accepted == S_FALSE) return kFollowRefused;
  if (accepted != S_OK) return kFollowNotTried;

  // A format changed on another endpoint (init chose another device since) goes back first.
  if (replacedFormat.active && wcscmp(replacedFormat.id, id) != 0) RestoreEndpointFormat(&replacedFormat);
  // The record of the user's format is written before the change, and shared with every other
  // driver object on the endpoint (format_record.h).
  FormatBytes after;
  bool read = false;
  FormatChange change = ChangeRecordedFormat(&replacedFormat, id, before, wanted, why, &after, &read);
  if (change == FormatChange::kNoPolicyObject) return kFollowNoPolicy;
  if (change == FormatChange::kRefused) return kFollowSetFailed;
  return read && IsStreamFormat(after, rate) ? kFollowChanged : kFollowUnchanged;
}

ASIOError ASIOPelkor::stop() {
  halt();
  return logAnswer(ASE_OK, "stop()");
}

void ASIOPelkor::halt() {
  if (FrameOf(this))
    abandonStream();
  else {
    finishPendingClose();
    stopStream();
    publishStatus();
  }
}

// The stream stops and stays open for the next start. A lost one is closed (start opens another),
// and so is one that may not be waited for here.
void ASIOPelkor::stopStream() {
  started = false;
  // Taken while it stops: a stop made meanwhile inside the switch under way finds nothing to close.
  ma_device *device = playbackStream.exchange(nullptr);
  if (!device) return;
  if (StreamLost() || !ThreadsCanBeJoined()) {
    playbackStream = device;
    closeStream();
    return;
  }
  // No longer the watch's before it stops, so that its stop is no loss (start watches it again).
  if (deviceWatch) deviceWatch->Forget(/* mayWait */ true);
  onAudioThread([device] { ma_device_stop(device); });
  ma_device *none = nullptr;
  if (playbackStream.compare_exchange_strong(none, device)) return;
  // Another host thread opened a stream meanwhile: one is enough.
  onAudioThread([device] { ma_device_uninit(device); });
  ma_free(device, nullptr);
}

// Leaves the open stream in place only while it still fits what the host chose: a stream at another
// rate or in another format would hold the device exclusively for nothing.
void ASIOPelkor::closeUnfitStream() {
  if (!FrameOf(this) && !started && playbackStream && !streamFits()) closeStream();
}

ASIOError ASIOPelkor::getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) {
  double position;
  unsigned long stampHi, stampLo;
  // A reader that overlaps a block's update reads again; the stream thread never waits for it.
  // The words are loaded with acquire, so the second count cannot be read before them.
  for (;;) {
    ULONG before = positionSequence.load(std::memory_order_acquire);
    position = samplePosition.load(std::memory_order_acquire);
    stampHi = systemTime.hi.load(std::memory_order_acquire);
    stampLo = systemTime.lo.load(std::memory_order_acquire);
    ULONG after = positionSequence.load(std::memory_order_relaxed);
    if (before == after && (before & 1) == 0) break;
  }
  if (tStamp) {
    tStamp->hi = stampHi;
    tStamp->lo = stampLo;
  }
  if (sPos) {
    if (position >= kTwoTo32) {
      double high = static_cast<double>(static_cast<ULONG>(position / kTwoTo32));
      sPos->hi = static_cast<ULONG>(high);
      sPos->lo = static_cast<ULONG>(position - high * kTwoTo32);
    } else {
      sPos->hi = 0;
      sPos->lo = static_cast<ULONG>(position);
    }
  }
  return ASE_OK;
}

bool ASIOPelkor::asksHost() const {
  return started && hostSwitching.load(std::memory_order_acquire) && callbacks;
}

void ASIOPelkor::processBlock(DWORD milliseconds) {
  ASIOTimeStamp now;
  StampOfMilliseconds(milliseconds, &now);
  publishPosition(samplePosition.load(std::memory_order_relaxed) + static_cast<double>(streamFrames), now);
  if (timeInfoMode)
    switchWithTimeInfo();
  else if (callbacks->bufferSwitch)
    callbacks->bufferSwitch(bufferIndex, ASIOFalse);
}

void ASIOPelkor::finishBlock() {
  if (timeInfoMode) asioTime.timeInfo.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
  bufferIndex = 1 - bufferIndex;
}

void ASIOPelkor::switchWithTimeInfo() {
  getSamplePosition(&asioTime.timeInfo.samplePosition, &asioTime.timeInfo.systemTime);
  if (timeCodeRead) {
    double ahead = static_cast<double>(static_cast<ULONG>(asioTime.timeInfo.samplePosition.lo)) +
                   static_cast<double>(streamRate) * kTimeCodeLeadSeconds;
    // The low 32 bits of the whole number of samples.
    asioTime.timeCode.timeCodeSamples.lo = static_cast<ULONG>(static_cast<ULONGLONG>(ahead));
    asioTime.timeCode.timeCodeSamples.hi = 0;
  }
  asioTime.timeInfo.sampleRate = static_cast<ASIOSampleRate>(streamRate);
  asioTime.timeInfo.flags |= pendingTimeFlags.exchange(0);
  if (callbacks->bufferSwitchTimeInfo) callbacks->bufferSwitchTimeInfo(&asioTime, bufferIndex, ASIOFalse);
}
