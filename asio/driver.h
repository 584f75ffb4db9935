// ASIOPelkor: the one driver object an ASIO host talks to.
#pragma once

#include <atomic>
#include <mutex>

#include <miniaudio.h>

#include "asio_interface.h"
#include "audio_thread.h"
#include "com_object.h"
#include "driver_status.h"
#include "endpoint_format.h"
#include "format_record.h"
#include "stream_format.h"

class DeviceWatch;
class SettingsWatch;

// Two output channels, no inputs.
enum { kOutputChannels = 2 };

// The host's buffer for getErrorMessage holds 124 characters, terminator included.
enum { kErrorMessageChars = 124 };
// In DSD mode the stream carries 32 one-bit samples per 32-bit word.
enum : ULONG { kDsdBitsPerWord = 32 };

// Name of the per-user settings key under HKEY_CURRENT_USER.
#define SETTINGS_KEY L"Software\\halvane103\\ASIO"

// IASIO must be the first base: hosts take the object pointer they get for the class identifier
// as an IASIO pointer, so the IASIO part has to start the object.
class ASIOPelkor : public IASIO, public CUnknown {
 public:
  explicit ASIOPelkor(IUnknown *outer);
  ~ASIOPelkor() override;

  // IUnknown, forwarded to the owner (the outer object when aggregated).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // The inner unknown hands out IASIO for the class identifier read from the identity file.
  HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;

  ASIOBool init(void *sysHandle) override;
  void getDriverName(char *name) override;
  long getDriverVersion() override;
  void getErrorMessage(char *string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(long *numInputChannels, long *numOutputChannels) override;
  ASIOError getLatencies(long *inputLatency, long *outputLatency) override;
  ASIOError getBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate *sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource *clocks, long *numSources) override;
  ASIOError setClockSource(long reference) override;
  ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo *info) override;
  ASIOError createBuffers(ASIOBufferInfo *bufferInfos, long numChannels, long bufferSize,
                          ASIOCallbacks *callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(long selector, void *opt) override;
  ASIOError outputReady() override;

  // Read-only views for the streaming engine and for tests.
  bool IsDsdMode() const { return ioFormat == kASIODSDFormat; }
  ULONG PreferredFrames() const { return preferredFrames; }
  LONG BlockFrames() const { return blockFrames; }
  ULONG StreamSampleRate() const { return sampleRate; }
  ULONG PeriodCount() const { return settingThreads; }
  bool TimeCodeRead() const { return timeCodeRead; }
  const ASIOTime &TimeInfo() const { return asioTime; }
  bool Started() const { return started; }
  const ma_device_info *PlaybackDevices() const { return playbackDevices; }
  ma_uint32 PlaybackDeviceCount() const { return playbackCount; }
  LONG DeviceIndex() const { return deviceIndex; }
  const char *ErrorText() const;
  // The open stream, while Started().
  const ma_device &PlaybackStream() const { return *playbackStream.load(); }
  // The stream's device went away while it played; cleared by the next start that opens a stream.
  bool StreamLost() const;
  // What the latest start did about the endpoint's default format.
  FollowOutcome LastFollow() const { return lastFollow; }

 private:
  // Tests reach the host-owned callbacks without creating buffers.
  friend struct DriverTestPeer;
  friend void PcmDataCallback(ma_device *device, void *output, const void *input, ma_uint32 frameCount);
  friend void DsdDataCallback(ma_device *device, void *output, const void *input, ma_uint32 frameCount);
  friend void StreamNotification(const ma_device_notification *notification);
  template <bool Dsd>
  friend void RunPeriod(ma_device *device, void *output, ma_uint32 frameCount);
  template <bool Dsd>
  friend void CopyBlock(ASIOPelkor *driver, INT32 *output, ma_uint32 frameCount);

  // The stream time stamp as two words the stream thread writes and any host thread reads.
  struct SharedTimeStamp {
    std::atomic<unsigned long> hi{0};
    std::atomic<unsigned long> lo{0};
  };

  void readSettings();
  // Whether a period now asks the host for a half: a stream started, start returned, callbacks.
  bool asksHost() const;
  // One period's turn with the host: the position, stamped `milliseconds` (timeGetTime), then the
  // switch.
  void processBlock(DWORD milliseconds);
  // After a switch the host did not give the stream up in: the other half is next, and the time
  // flags it was told of once are cleared.
  void finishBlock();
  void switchWithTimeInfo();
  void releaseBlocks();
  // stop and disposeBuffers, for the driver's own use: not a host's call.
  void halt();
  void dispose();
  void silenceHalf(LONG half);
  bool streamRateOf(ASIOSampleRate rate, ULONG *frameRate) const;
  void publishPosition(double position, const ASIOTimeStamp &stamp);
  void noteTimeInfoChange(unsigned long flag);
  void setErrorText(const char *text);
  ASIOError prepareStream();
  bool streamFits() const;
  void stopStream();
  void closeStream();
  void closeUnfitStream();
  // closeStream, or abandonStream from inside one of the stream's callbacks.
  void closeOrAbandonStream();
  void abandonStream();
  void closeAway(ma_device *device);
  HANDLE takeCloser();
  void finishPendingClose();
  void handOffContext();
  // Runs a call into the audio system on the driver's audio thread (see audio_thread.h).
  template <class Task>
  void onAudioThread(Task task) {
    RunOnAudioThread(audioThread, task);
  }
  void onStreamNotification(ma_device_notification_type type);
  void tellHost(long selector, bool claimed);
  void composeStreamLatency(ma_uint32 periodFrames, ma_uint32 periods);
  bool playbackEndpoint(EndpointId id) const;
  bool endpointToAsk(EndpointId id) const;
  FollowOutcome followStreamRate(ULONG rate, HRESULT *why);
  // The live status and the log (driver_report.cpp): what the host side knows goes out now; the
  // first call after init opens the status.
  void publishStatus();
  void closeStatus(bool wait);
  void logLine(const char *format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  ASIOError logAnswer(ASIOError answer, const char *format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;
  // For the watches, which write for this object from threads of their own.
  DriverLogTarget logTarget() const;
  // The calling thread is running one of this object's stream callbacks.
  bool inStreamCallback() const;

  LONG ioFormat;
  // The position and the time stamp of the latest block are published together under
  // positionSequence (odd while they change), so that getSamplePosition on a host thread never
  // sees a torn value or a position and a time stamp of different blocks, without a lock and
  // without ever making the stream thread wait.
  std::atomic<double> samplePosition;
  ULONG sampleRate;
  ASIOCallbacks *callbacks;
  ASIOTime asioTime;
  SharedTimeStamp systemTime;
  std::atomic<ULONG> positionSequence;
  INT32 *outputBuffers[kOutputChannels];
  LONG outputChannels[kOutputChannels];
  LONG blockFrames;
  ULONG preferredFrames;
  LONG outputLatency;
  // The figure outputLatency holds while no buffers exist (construction and setSampleRate).
  LONG bufferlessLatency;
  LONG activeOutputs;
  LONG bufferIndex;
  // Read by the stream thread while a host thread may write it (stop clears it first).
  std::atomic<bool> started;
  // Set once start has returned (see start): until then the stream plays silence and asks nothing.
  std::atomic<bool> hostSwitching;
  bool timeInfoMode;
  std::atomic<bool> timeCodeRead;
  char errorMessage[128];
  // Both on the heap: a host that releases the driver from inside its bufferSwitch frees the
  // object while miniaudio still runs the stream, which then is closed on another thread, and
  // the context with it. Null while no stream is open / no context exists. The stream is taken
  // out atomically by whoever closes it (stream.cpp, closeStream).
  std::atomic<ma_device *> playbackStream;
  ma_context *audioContext;
  // Where every call into the audio system runs; made by the first init, ended at release.
  AudioThread *audioThread;
  LONG deviceIndex;
  ma_device_info *playbackDevices;
  bool contextReady;
  ma_uint32 playbackCount;
  // The blocks as createBuffers allocated them: frames per half that the stream plays, and words
  // from the start of half 0 to the start of half 1. setSampleRate and future may change
  // blockFrames and ioFormat afterwards; the stream never reads beyond these.
  LONG streamFrames;
  LONG halfStride;
  // The rate and the format the open stream was opened at (for the time information of its blocks,
  // and to know whether it still fits).
  ULONG streamRate;
  bool streamDsd;
  // Time-info flags that setSampleRate and setClockSource raise while the stream runs; the
  // stream thread moves them into asioTime before the next block.
  std::atomic<unsigned long> pendingTimeFlags;
  // A stream a host stopped from inside one of its callbacks, being stopped and closed on a driver
  // thread of its own (miniaudio forbids that on the stream thread); joined by the next host call.
  // Set on the stream thread and taken on host threads, under closerLock.
  HANDLE streamCloser;
  std::mutex closerLock;
  // Set on the stream thread when the stream stopped without the driver asking.
  std::atomic<bool> streamLost;
  // Hears of the endpoint going away and tells the host (device_watch.h); made by the first start.
  DeviceWatch *deviceWatch;
  // What the host claimed through kAsioSelectorSupported at createBuffers.
  bool hostTakesReset;
  bool hostTakesLatencyChange;
  // The host read getLatencies since createBuffers, so a changed figure must be announced.
  std::atomic<bool> latencyRead;
  // Tells a host that holds buffers and claims kAsioResetRequest when the settings key changes.
  SettingsWatch *settingsWatch;
  DWORD settingSamples;
  ULONG settingThreads;
  DWORD settingBuffers;
  ULONG settingLatencyMs;
  DWORD settingFifoSize;
  // "followrate": start makes the stream's format the endpoint's default first.
  bool settingFollowRate;
  // This object's hold on the record of the endpoint format start replaced, let go when the
  // object goes (not at stop: hosts open and close streams often).
  ReplacedFormat replacedFormat;
  FollowOutcome lastFollow;
  // "log": this object appends what it does to the log file.
  bool settingLog;
  // Null until init, and when no status could be made. The stream thread only counts through it.
  DriverStatus *status;
  // What the latest start found: the endpoint's format and the verdict on it.
  StreamFormat statusEndpoint;
  StatusVerdict statusVerdict;
};

// Frames per buffer half for a latency and a rate: latency × rate ÷ 1000, rounded down to an
// even number. A latency of 0 ms counts as 1 ms so that the buffer is never empty, and the
// result is capped at kMaxBlockFrames so that no size a host reads can overflow.
enum { kMaxBlockFrames = 1 << 24 };
ULONG ComputePreferredFrames(ULONG latencyMs, ULONG rate);
