// ASIOPelkor: construction from the settings key, destruction, and the query and setting
// methods of IASIO. The stream methods live in stream.cpp.
#include "driver.h"

#include <math.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "identity.h"
#include "settings.h"
#include "settings_watch.h"

namespace {

const char kDriverName[] = "Pelkor ASIO 1.10";
const long kDriverVersion = 2;
const char kClockName[] = "Internal";
const WCHAR kConfigProgram[] = L"asioconfig.exe";
// The rate the buffer size is derived from at construction, whatever rate the settings hold.
const ULONG kConstructionRate = 44100;
const double kMinSampleRate = 44100.0;

template <size_t N>
void CopyText(char (&target)[N], const char *text) {
  snprintf(target, N, "%s", text);
}

}  // namespace

ULONG ComputePreferredFrames(ULONG latencyMs, ULONG rate) {
  ULONGLONG ms = latencyMs > 0 ? latencyMs : 1;
  ULONGLONG frames = ms * rate / 1000;
  frames = frames / 2 * 2;
  if (frames < 2) frames = 2;
  if (frames > kMaxBlockFrames) frames = kMaxBlockFrames;
  return static_cast<ULONG>(frames);
}

ASIOPelkor::ASIOPelkor(IUnknown *outer)
    : CUnknown("ASIOPelkor", outer),
      ioFormat(kASIOPCMFormat),
      samplePosition(0.0),
      sampleRate(0),
      callbacks(nullptr),
      asioTime(),
      systemTime(),
      positionSequence(0),
      outputBuffers(),
      outputChannels(),
      blockFrames(0),
      preferredFrames(0),
      outputLatency(0),
      bufferlessLatency(0),
      activeOutputs(0),
      bufferIndex(0),
      started(false),
      hostSwitching(false),
      timeInfoMode(false),
      timeCodeRead(false),
      errorMessage(),
      playbackStream(nullptr),
      audioContext(nullptr),
      audioThread(nullptr),
      deviceIndex(0),
      playbackDevices(nullptr),
      contextReady(false),
      playbackCount(0),
      streamFrames(0),
      halfStride(0),
      streamRate(0),
      streamDsd(false),
      pendingTimeFlags(0),
      streamCloser(nullptr),
      closerLock(),
      streamLost(false),
      deviceWatch(nullptr),
      hostTakesReset(false),
      hostTakesLatencyChange(false),
      latencyRead(false),
      settingsWatch(nullptr),
      settingSamples(0),
      settingThreads(0),
      settingBuffers(0),
      settingLatencyMs(0),
      settingFifoSize(0),
      settingFollowRate(true),
      replacedFormat(),
      lastFollow(kFollowNotTried),
      settingLog(false),
      status(nullptr),
      statusEndpoint(),
      statusVerdict(kStatusNoStream) {
  readSettings();
  preferredFrames = ComputePreferredFrames(settingLatencyMs, kConstructionRate);
  blockFrames = static_cast<LONG>(preferredFrames);
  outputLatency = static_cast<LONG>(preferredFrames);
  bufferlessLatency = outputLatency;
}

// The destructor and the context it releases live in stream.cpp, beside the stream they outlive.

void ASIOPelkor::readSettings() {
  DriverSettings settings;
  ReadDriverSettings(&settings);
  // Settings are read once per object; a change while a host holds it asks the host to reload.
  settingsWatch = SettingsWatch::Start(settings);
  settingSamples = settings.values[kSettingSamples];
  settingThreads = settings.values[kSettingThreads];
  settingBuffers = settings.values[kSettingBuffers];
  settingLatencyMs = settings.values[kSettingLatencyMs];
  settingFifoSize = settings.values[kSettingFifoSize];
  sampleRate = settings.values[kSettingSampleRate];
  settingFollowRate = settings.values[kSettingFollowRate] != 0;
  settingLog = settings.values[kSettingLog] != 0;
}

HRESULT STDMETHODCALLTYPE ASIOPelkor::QueryInterface(REFIID riid, void **ppv) {
  return Owner()->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE ASIOPelkor::AddRef() { return Owner()->AddRef(); }

ULONG STDMETHODCALLTYPE ASIOPelkor::Release() { return Owner()->Release(); }

HRESULT STDMETHODCALLTYPE ASIOPelkor::InnerQueryInterface(REFIID riid, void **ppv) {
  // IASIO has no identifier of its own: hosts ask for it by the driver's class identifier.
  if (IsEqualIID(riid, DriverClassId)) return HandOutInterface(static_cast<IASIO *>(this), ppv);
  return CUnknown::InnerQueryInterface(riid, ppv);
}

void ASIOPelkor::getDriverName(char *name) {
  if (name) memcpy(name, kDriverName, sizeof(kDriverName));
}

long ASIOPelkor::getDriverVersion() { return kDriverVersion; }

void ASIOPelkor::getErrorMessage(char *string) {
  if (!string) return;
  const char *text = ErrorText();
  memcpy(string, text, strlen(text) + 1);
  logLine("getErrorMessage() = \"%s\"", text);
}

ASIOError ASIOPelkor::getChannels(long *numInputChannels, long *numOutputChannels) {
  if (!numInputChannels || !numOutputChannels) return logAnswer(ASE_InvalidParameter, "getChannels");
  *numInputChannels = 0;
  *numOutputChannels = kOutputChannels;
  return logAnswer(ASE_OK, "getChannels(0 in, %d out)", static_cast<int>(kOutputChannels));
}

ASIOError ASIOPelkor::getLatencies(long *inputLatency, long *outputLatencyOut) {
  if (!inputLatency || !outputLatencyOut) return logAnswer(ASE_InvalidParameter, "getLatencies");
  *inputLatency = 0;
  *outputLatencyOut = outputLatency;
  if (callbacks) latencyRead = true;
  return logAnswer(ASE_OK, "getLatencies(0 in, %ld out)", static_cast<long>(outputLatency));
}

ASIOError ASIOPelkor::getBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity) {
  if (!minSize || !maxSize || !preferredSize || !granularity) return logAnswer(ASE_InvalidParameter, "getBufferSize");
  // In DSD mode the host counts one-bit samples per channel.
  long size = IsDsdMode() ? blockFrames * static_cast<long>(kDsdBitsPerWord) : blockFrames;
  *minSize = size;
  *maxSize = size;
  *preferredSize = size;
  *granularity = 0;
  return logAnswer(ASE_OK, "getBufferSize(min = max = preferred = %ld, granularity 0)", size);
}

// The stream's frame rate for a host's rate: in DSD mode one 32-bit word per 32 samples. False for
// a rate no stream is opened at.
bool ASIOPelkor::streamRateOf(ASIOSampleRate rate, ULONG *frameRate) const {
  if (isnan(rate) || rate < kMinSampleRate) return false;
  double frames = IsDsdMode() ? rate / kDsdBitsPerWord : rate;
  if (frames >= 4294967296.0) return false;
  *frameRate = static_cast<ULONG>(frames);
  return true;
}

ASIOError ASIOPelkor::canSampleRate(ASIOSampleRate rate) {
  // What setSampleRate refuses cannot play.
  ULONG frameRate = 0;
  if (!streamRateOf(rate, &frameRate)) return logAnswer(ASE_NoClock, "canSampleRate(%.0f)", rate);
  // Where the endpoint can be asked, only what it takes for exclusive use at 32-bit stereo plays
  // unconverted. Where it cannot, the answer is setSampleRate's.
  EndpointId id;
  if (!endpointToAsk(id)) return logAnswer(ASE_OK, "canSampleRate(%.0f)", rate);
  FormatBytes format;
  MakeStreamFormat(frameRate, &format);
  HRESULT accepted = S_OK;
  onAudioThread([&] { accepted = AskExclusiveFormat(id, format); });
  return logAnswer(accepted == S_FALSE ? ASE_NoClock : ASE_OK, "canSampleRate(%.0f)", rate);
}

ASIOError ASIOPelkor::getSampleRate(ASIOSampleRate *rate) {
  if (!rate) return logAnswer(ASE_InvalidParameter, "getSampleRate");
  *rate = static_cast<ASIOSampleRate>(sampleRate);
  return logAnswer(ASE_OK, "getSampleRate(%.0f)", *rate);
}

ASIOError ASIOPelkor::setSampleRate(ASIOSampleRate rate) {
  // The stored rate is the stream's frame rate.
  ULONG newRate = 0;
  if (!streamRateOf(rate, &newRate)) return logAnswer(ASE_NoClock, "setSampleRate(%.0f)", rate);
  if (static_cast<double>(sampleRate) == rate) return logAnswer(ASE_OK, "setSampleRate(%.0f)", rate);
  sampleRate = newRate;
  preferredFrames = ComputePreferredFrames(settingLatencyMs, sampleRate);
  blockFrames = static_cast<LONG>(preferredFrames);
  // The latency is reported in the unit of the buffer size: one-bit samples in DSD mode.
  bufferlessLatency = static_cast<LONG>(IsDsdMode() ? preferredFrames * kDsdBitsPerWord : preferredFrames);
  // Buffers that exist keep their size, and the stream plays them: its figure stays.
  if (!callbacks) outputLatency = bufferlessLatency;
  if (!started) asioTime.timeInfo.sampleRate = static_cast<ASIOSampleRate>(sampleRate);
  noteTimeInfoChange(kSampleRateChanged);
  closeUnfitStream();
  if (callbacks && callbacks->sampleRateDidChange)
    callbacks->sampleRateDidChange(static_cast<ASIOSampleRate>(sampleRate));
  publishStatus();
  return logAnswer(ASE_OK, "setSampleRate(%.0f)", rate);
}

ASIOError ASIOPelkor::getClockSources(ASIOClockSource *clocks, long *numSources) {
  if (!clocks || !numSources) return ASE_InvalidParameter;
  clocks[0].index = 0;
  clocks[0].associatedChannel = -1;
  clocks[0].associatedGroup = -1;
  clocks[0].isCurrentSource = ASIOTrue;
  CopyText(clocks[0].name, kClockName);
  *numSources = 1;
  return ASE_OK;
}

ASIOError ASIOPelkor::setClockSource(long reference) {
  if (reference != 0) return ASE_NotPresent;
  noteTimeInfoChange(kClockSourceChanged);
  return ASE_OK;
}

ASIOError ASIOPelkor::getChannelInfo(ASIOChannelInfo *info) {
  if (!info || info->channel < 0 || info->isInput || info->channel >= kOutputChannels)
    return logAnswer(ASE_InvalidParameter, "getChannelInfo");
  info->type = IsDsdMode() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
  info->channelGroup = 0;
  info->isActive = ASIOFalse;
  for (LONG i = 0; i < activeOutputs && i < kOutputChannels; ++i)
    if (outputChannels[i] == info->channel) info->isActive = ASIOTrue;
  snprintf(info->name, sizeof(info->name), " channel %d", static_cast<int>(info->channel));
  return logAnswer(ASE_OK, "getChannelInfo(output %ld: type %ld, %s)", static_cast<long>(info->channel),
                   static_cast<long>(info->type), info->isActive ? "active" : "inactive");
}

ASIOError ASIOPelkor::controlPanel() {
  logLine("controlPanel()");
  WCHAR path[MAX_PATH];
  if (!GetDriverModulePath(path, _countof(path))) return ASE_OK;
  WCHAR *slash = wcsrchr(path, L'\\');
  WCHAR *fileName = slash ? slash + 1 : path;
  size_t room = _countof(path) - static_cast<size_t>(fileName - path);
  if (_countof(kConfigProgram) > room) return ASE_OK;
  wmemcpy(fileName, kConfigProgram, _countof(kConfigProgram));
  ShellExecuteW(/* owner */ nullptr, L"open", path, /* parameters */ nullptr, /* directory */ nullptr, SW_SHOWNORMAL);
  return ASE_OK;
}

ASIOError ASIOPelkor::future(long selector, void *opt) {
  switch (selector) {
    case kAsioEnableTimeCodeRead:
      timeCodeRead = true;
      return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
      timeCodeRead = false;
      return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
    case kAsioCanDoIoFormat:
      return ASE_SUCCESS;
    case kAsioSetIoFormat:
      if (!opt) return logAnswer(ASE_InvalidParameter, "future(kAsioSetIoFormat)");
      ioFormat = static_cast<const ASIOIoFormat *>(opt)->FormatType;
      closeUnfitStream();
      publishStatus();
      return logAnswer(ASE_SUCCESS, "future(kAsioSetIoFormat, %s)", IsDsdMode() ? "DSD" : "PCM");
    case kAsioGetIoFormat:
      if (!opt) return ASE_InvalidParameter;
      static_cast<ASIOIoFormat *>(opt)->FormatType = ioFormat;
      return logAnswer(ASE_SUCCESS, "future(kAsioGetIoFormat) = %s", IsDsdMode() ? "DSD" : "PCM");
    default:
      return ASE_NotPresent;
  }
}

ASIOError ASIOPelkor::outputReady() { return ASE_NotPresent; }
