// ASIOPelkor: the one driver object an ASIO host talks to.
#pragma once

#include <miniaudio.h>

#include "asio_interface.h"
#include "com_object.h"

// Two output channels, no inputs.
enum { kOutputChannels = 2 };

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

 private:
  // Tests reach the host-owned callbacks without creating buffers.
  friend struct DriverTestPeer;

  void readSettings();

  LONG ioFormat;
  double samplePosition;
  ULONG sampleRate;
  ASIOCallbacks *callbacks;
  ASIOTime asioTime;
  ASIOTimeStamp systemTime;
  INT32 *outputBuffers[kOutputChannels];
  LONG outputChannels[kOutputChannels];
  LONG blockFrames;
  ULONG preferredFrames;
  LONG outputLatency;
  LONG activeOutputs;
  LONG bufferIndex;
  bool started;
  bool timeInfoMode;
  bool timeCodeRead;
  char errorMessage[128];
  ma_device playbackStream;
  ma_context audioContext;
  LONG deviceIndex;
  ma_device_info *playbackDevices;
  bool contextReady;
  DWORD settingSamples;
  ULONG settingThreads;
  DWORD settingBuffers;
  ULONG settingLatencyMs;
  DWORD settingFifoSize;
};

// Frames per buffer half for a latency and a rate: latency × rate ÷ 1000, rounded down to an
// even number. A latency of 0 ms counts as 1 ms so that the buffer is never empty, and the
// result is capped at kMaxBlockFrames so that no size a host reads can overflow.
enum { kMaxBlockFrames = 1 << 24 };
ULONG ComputePreferredFrames(ULONG latencyMs, ULONG rate);
