// asioprobe: a small ASIO host. It finds drivers the way hosts do (the ASIO key of the registry
// in the view of its own bitness), has COM load one by its registered name, and prints what the
// driver answers; on request it creates buffers and runs the stream for a while.
//
//   asioprobe                       list the drivers under HKLM\SOFTWARE\ASIO
//   asioprobe NAME                  ... then load NAME and print its answers
//   asioprobe NAME --run MS         ... then create buffers and run the stream for MS milliseconds
//   asioprobe NAME --control-panel  ... then press the host's control-panel button (controlPanel)
//   asioprobe NAME --can-rates      ... then ask canSampleRate for the rates hosts ask about, PCM
//                                   and DSD
//   asioprobe NAME --play MS [--rate HZ | --dsd 64|128|256] [--again start|buffers] [--mta] [--capture FILE]
//                                   ... then play a known signal for MS milliseconds (twice with
//                                   --again: stop and start, or also disposeBuffers and createBuffers)
//                                   on a thread in a single-threaded apartment (--mta: the
//                                   multithreaded one), check that no driver call changes that
//                                   apartment, and with --capture compare FILE, the bytes the
//                                   device received, with what was written; it also prints the
//                                   default playback endpoint's Windows format before, while and
//                                   after it plays
//   asioprobe NAME --play MS --reset [--rate HZ] [--capture FILE]
//                                   ... play until the driver asks for a reset (at most 30 s), start
//                                   once more on the lost stream, let the driver go and, as JUCE
//                                   does, create it again until it plays (at most 30 s), then play
//                                   for MS; the times of each step are printed
//
// It knows nothing of the driver but the IASIO declaration: it is compiled as any host is, so on
// 32-bit the IASIO methods are called thiscall and the IUnknown ones stdcall.
#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "asio_interface.h"

namespace {

const WCHAR kAsioKey[] = L"SOFTWARE\\ASIO";

struct DriverEntry {
  WCHAR name[256];
  WCHAR clsidText[64];
  WCHAR description[256];
  WCHAR inprocServer[MAX_PATH + 1];
};

const int kMaxDrivers = 32;

// UTF-8 for the console and for scripts that read the output.
const char *Utf8(const WCHAR *text, char *buffer, int capacity) {
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, capacity, nullptr, nullptr) == 0) snprintf(buffer, capacity, "?");
  return buffer;
}

void PrintField(const char *label, const WCHAR *text) {
  char utf8[1024];
  printf("    %s: %s\n", label, text[0] ? Utf8(text, utf8, sizeof(utf8)) : "(none)");
}

// A REG_SZ value into buffer (capacity in characters); empty when absent or not a string.
void ReadText(HKEY root, const WCHAR *path, const WCHAR *name, WCHAR *buffer, DWORD capacity) {
  buffer[0] = L'\0';
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD type = 0;
  DWORD bytes = (capacity - 1) * sizeof(WCHAR);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ)
    bytes = 0;
  buffer[bytes / sizeof(WCHAR)] = L'\0';
  RegCloseKey(key);
}

int ListDrivers(DriverEntry *drivers) {
  HKEY asio = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, &asio) != ERROR_SUCCESS) {
    printf("  no ASIO key: no driver is registered for %d-bit hosts\n", static_cast<int>(sizeof(void *) * 8));
    return 0;
  }
  int count = 0;
  for (DWORD index = 0; count < kMaxDrivers; ++index) {
    DriverEntry &entry = drivers[count];
    DWORD nameChars = _countof(entry.name);
    if (RegEnumKeyExW(asio, index, entry.name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    WCHAR path[512];
    swprintf(path, _countof(path), L"%ls\\%ls", kAsioKey, entry.name);
    ReadText(HKEY_LOCAL_MACHINE, path, L"CLSID", entry.clsidText, _countof(entry.clsidText));
    ReadText(HKEY_LOCAL_MACHINE, path, L"Description", entry.description, _countof(entry.description));
    swprintf(path, _countof(path), L"CLSID\\%ls\\InprocServer32", entry.clsidText);
    ReadText(HKEY_CLASSES_ROOT, path, nullptr, entry.inprocServer, _countof(entry.inprocServer));
    char utf8[512];
    printf("  %s\n", Utf8(entry.name, utf8, sizeof(utf8)));
    PrintField("CLSID", entry.clsidText);
    PrintField("Description", entry.description);
    PrintField("InprocServer32", entry.inprocServer);
    ++count;
  }
  RegCloseKey(asio);
  if (count == 0) printf("  (no drivers)\n");
  return count;
}

const char *ErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "unknown";
  }
}

// The driver's error text, terminated whatever the driver wrote (the standard's buffer is 124).
const char *ErrorText(IASIO *asio, char (&text)[128]) {
  memset(text, 0, sizeof(text));
  asio->getErrorMessage(text);
  text[sizeof(text) - 1] = '\0';
  return text[0] ? text : "(no message)";
}

// ---- the stream: callbacks the driver calls on its stream thread ----

volatile LONG SwitchCount = 0;

// The performance counter in milliseconds, for the timings of createBuffers and start.
double Milliseconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
ASIOBufferInfo BufferInfos[2];
long BufferChannels = 0;
long BufferBytes = 0;

void Silence(long index) {
  for (long i = 0; i < BufferChannels; ++i)
    if (BufferInfos[i].buffers[index & 1]) memset(BufferInfos[i].buffers[index & 1], 0, BufferBytes);
}

// ---- the play mode's signal: each channel its own sequence that never repeats and is never
// silent, and the words the device must receive for it, kept to compare with the capture ----

struct Signal {
  bool dsd = false;
  long halfBytes = 0;            // per channel and half
  unsigned *expected = nullptr;  // the device's words, interleaved: channel 0, channel 1
  size_t capacity = 0;           // in frames (two words)
  volatile LONG frames = 0;      // noted so far
  volatile LONG overflow = 0;
  unsigned long long next = 0;   // per channel: the next sample (PCM) or byte (DSD)
} Play;

unsigned SignalValue(long channel, unsigned long long index) {
  unsigned long long x = index * 0x9E3779B97F4A7C15ull + static_cast<unsigned long long>(channel + 1) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  return static_cast<unsigned>(x);
}

// Fills the half with the next block of the signal and notes what the device must receive: PCM
// 32-bit words as written; DSD bytes (the first in time in the most significant bit) four to a
// word, the first in time the most significant byte.
void PlayHalf(long index) {
  long words = Play.halfBytes / 4;
  size_t at = static_cast<size_t>(Play.frames);
  bool room = at + static_cast<size_t>(words) <= Play.capacity;
  for (long channel = 0; channel < BufferChannels; ++channel) {
    unsigned char *bytes = static_cast<unsigned char *>(BufferInfos[channel].buffers[index & 1]);
    for (long word = 0; word < words; ++word) {
      unsigned value = 0;
      if (Play.dsd) {
        for (int i = 0; i < 4; ++i) {
          unsigned char byte = static_cast<unsigned char>(SignalValue(channel, Play.next + word * 4 + i) >> 24);
          bytes[word * 4 + i] = byte;
          value = value << 8 | byte;
        }
      } else {
        value = SignalValue(channel, Play.next + word);
        memcpy(bytes + word * 4, &value, 4);
      }
      if (room) Play.expected[(at + word) * 2 + channel] = value;
    }
  }
  Play.next += Play.dsd ? words * 4 : words;
  if (room)
    InterlockedExchangeAdd(&Play.frames, words);
  else
    InterlockedExchange(&Play.overflow, 1);
}

void OnSwitch(long index) {
  if (Play.expected)
    PlayHalf(index);
  else
    Silence(index);
  InterlockedIncrement(&SwitchCount);
}

void BufferSwitch(long index, ASIOBool) { OnSwitch(index); }

ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool) {
  OnSwitch(index);
  return params;
}

void SampleRateDidChange(ASIOSampleRate rate) { printf("    (driver reports a rate change to %.0f Hz)\n", rate); }

volatile LONG ResetRequests = 0;
ULONGLONG ResetRequestedAt = 0;

long AsioMessage(long selector, long value, void *, double *) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioEngineVersion || value == kAsioSupportsTimeInfo || value == kAsioResetRequest;
    case kAsioEngineVersion: return 2;
    case kAsioSupportsTimeInfo: return 1;
    case kAsioResetRequest: {
      // The first request's time, in milliseconds since 1970, for a script to compare with its own.
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
      LONG count = InterlockedIncrement(&ResetRequests);
      if (count == 1) ResetRequestedAt = (ticks - 116444736000000000ull) / 10000;
      printf("    (driver asks for a reset)\n");
      fflush(stdout);
      return 1;
    }
    default: return 0;
  }
}

ASIOCallbacks Callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

void PrintAnswers(IASIO *asio) {
  char name[32] = {0};
  asio->getDriverName(name);
  name[sizeof(name) - 1] = '\0';
  printf("    name: %s, version %ld\n", name, asio->getDriverVersion());
  long inputs = -1, outputs = -1;
  ASIOError error = asio->getChannels(&inputs, &outputs);
  printf("    channels: %ld in, %ld out (%s)\n", inputs, outputs, ErrorName(error));
  long inLatency = -1, outLatency = -1;
  error = asio->getLatencies(&inLatency, &outLatency);
  printf("    latencies: %ld in, %ld out frames (%s)\n", inLatency, outLatency, ErrorName(error));
  long minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
  error = asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  printf("    buffer size: min %ld, max %ld, preferred %ld, granularity %ld (%s)\n", minSize, maxSize, preferred,
         granularity, ErrorName(error));
  ASIOSampleRate rate = 0;
  error = asio->getSampleRate(&rate);
  printf("    sample rate: %.0f Hz (%s)\n", rate, ErrorName(error));
  ASIOClockSource clocks[4];
  memset(clocks, 0, sizeof(clocks));
  long clockCount = _countof(clocks);
  error = asio->getClockSources(clocks, &clockCount);
  printf("    clock sources: %ld (%s)\n", clockCount, ErrorName(error));
  for (long i = 0; error == ASE_OK && i < clockCount && i < static_cast<long>(_countof(clocks)); ++i) {
    clocks[i].name[sizeof(clocks[i].name) - 1] = '\0';
    printf("      %ld: \"%s\"%s\n", clocks[i].index, clocks[i].name, clocks[i].isCurrentSource ? ", current" : "");
  }
  for (int isInput = 1; isInput >= 0; --isInput) {
    long count = isInput ? inputs : outputs;
    for (long channel = 0; channel < count && channel < 64; ++channel) {
      ASIOChannelInfo info;
      memset(&info, 0, sizeof(info));
      info.channel = channel;
      info.isInput = isInput;
      error = asio->getChannelInfo(&info);
      info.name[sizeof(info.name) - 1] = '\0';
      printf("    %s %ld: \"%s\", sample type %ld, group %ld, %s (%s)\n", isInput ? "input" : "output", channel,
             info.name, info.type, info.channelGroup, info.isActive ? "active" : "inactive", ErrorName(error));
    }
  }
  static const double kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400};
  printf("    canSampleRate:");
  for (double candidate : kRates) printf(" %.0f %s", candidate, asio->canSampleRate(candidate) == ASE_OK ? "yes" : "no");
  printf("\n");
}

// canSampleRate for every rate a host may ask about (JUCE's list, and the DSD rates of both
// families up to DSD512), one line for PCM and one for DSD.
void PrintRateAnswers(IASIO *asio) {
  static const double kPcmRates[] = {8000,  11025, 16000,  22050,  32000,  44100,  48000,  64000,
                                     88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};
  static const double kDsdMultiples[] = {64, 128, 256, 512};
  static const double kDsdBases[] = {44100, 48000};
  printf("    canSampleRate PCM:");
  for (double rate : kPcmRates) printf(" %.0f %s", rate, ErrorName(asio->canSampleRate(rate)));
  printf("\n");
  ASIOIoFormat format;
  memset(&format, 0, sizeof(format));
  format.FormatType = kASIODSDFormat;
  if (asio->future(kAsioSetIoFormat, &format) != ASE_SUCCESS) {
    printf("    canSampleRate DSD: the driver refuses DSD mode\n");
    return;
  }
  printf("    canSampleRate DSD:");
  for (double base : kDsdBases)
    for (double multiple : kDsdMultiples) printf(" %.0f %s", base * multiple, ErrorName(asio->canSampleRate(base * multiple)));
  printf("\n");
  format.FormatType = kASIOPCMFormat;
  asio->future(kAsioSetIoFormat, &format);
}

// The default playback endpoint's Windows default format (PKEY_AudioEngine_DeviceFormat) as the
// tests name formats: f32/48000, s32/44100, s24in32/96000 (24 valid bits in 32), with the channel
// count after another slash when it is not 2; "none" when there is none to read.
void EndpointFormatName(char *name, size_t capacity) {
  snprintf(name, capacity, "none");
  IMMDeviceEnumerator *enumerator = nullptr;
  IMMDevice *device = nullptr;
  IPropertyStore *properties = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                reinterpret_cast<void **>(&enumerator));
  if (SUCCEEDED(hr)) hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
  if (SUCCEEDED(hr)) hr = device->OpenPropertyStore(STGM_READ, &properties);
  if (SUCCEEDED(hr)) hr = properties->GetValue(PKEY_AudioEngine_DeviceFormat, &value);
  if (SUCCEEDED(hr) && value.vt == VT_BLOB && value.blob.cbSize >= sizeof(WAVEFORMATEX)) {
    WAVEFORMATEXTENSIBLE format;
    memset(&format, 0, sizeof(format));
    memcpy(&format, value.blob.pBlobData, value.blob.cbSize < sizeof(format) ? value.blob.cbSize : sizeof(format));
    unsigned tag = format.Format.wFormatTag;
    unsigned bits = format.Format.wBitsPerSample;
    unsigned valid = bits;
    if (tag == WAVE_FORMAT_EXTENSIBLE && value.blob.cbSize >= sizeof(format)) {
      // The subtype's first member is the format tag; the rest is the same for PCM and float.
      tag = format.SubFormat.Data1;
      valid = format.Samples.wValidBitsPerSample;
    }
    const char *kind = tag == WAVE_FORMAT_IEEE_FLOAT ? "f" : tag == WAVE_FORMAT_PCM ? "s" : nullptr;
    int length = 0;
    if (!kind)
      length = snprintf(name, capacity, "tag%u/%lu", tag, static_cast<unsigned long>(format.Format.nSamplesPerSec));
    else if (valid == bits)
      length = snprintf(name, capacity, "%s%u/%lu", kind, bits, static_cast<unsigned long>(format.Format.nSamplesPerSec));
    else
      length = snprintf(name, capacity, "%s%uin%u/%lu", kind, valid, bits,
                        static_cast<unsigned long>(format.Format.nSamplesPerSec));
    if (format.Format.nChannels != 2 && length > 0 && static_cast<size_t>(length) < capacity)
      snprintf(name + length, capacity - length, "/%u", static_cast<unsigned>(format.Format.nChannels));
  }
  PropVariantClear(&value);
  if (properties) properties->Release();
  if (device) device->Release();
  if (enumerator) enumerator->Release();
}

void PrintEndpointFormat(const char *when) {
  char name[64];
  EndpointFormatName(name, sizeof(name));
  printf("    endpoint %s: %s\n", when, name);
}

void RunStream(IASIO *asio, long milliseconds) {
  long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  asio->getChannels(&inputs, &outputs);
  asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  BufferChannels = outputs < 2 ? outputs : 2;
  memset(BufferInfos, 0, sizeof(BufferInfos));
  for (long i = 0; i < BufferChannels; ++i) {
    BufferInfos[i].isInput = ASIOFalse;
    BufferInfos[i].channelNum = i;
  }
  ASIOChannelInfo info;
  memset(&info, 0, sizeof(info));
  asio->getChannelInfo(&info);
  // 32-bit PCM words, or one-bit DSD at eight samples a byte.
  BufferBytes = info.type == ASIOSTDSDInt8MSB1 ? preferred / 8 : preferred * 4;
  char text[128];
  ASIOError error = asio->createBuffers(BufferInfos, BufferChannels, preferred, &Callbacks);
  if (error != ASE_OK) {
    printf("    createBuffers(%ld outputs, %ld) refused: %s (%ld): %s\n", BufferChannels, preferred, ErrorName(error),
           error, ErrorText(asio, text));
    return;
  }
  printf("    createBuffers: %ld outputs of %ld frames\n", BufferChannels, preferred);
  for (int half = 0; half < 2; ++half) Silence(half);
  SwitchCount = 0;
  error = asio->start();
  if (error != ASE_OK) {
    printf("    start refused: %s (%ld): %s\n", ErrorName(error), error, ErrorText(asio, text));
  } else {
    Sleep(static_cast<DWORD>(milliseconds));
    error = asio->stop();
    ASIOSampleRate rate = 0;
    asio->getSampleRate(&rate);
    double expected = preferred > 0 ? milliseconds * rate / 1000.0 / preferred : 0;
    printf("    ran %ld ms: %ld buffer switches (about %.0f expected at %.0f Hz); stop: %s\n", milliseconds,
           static_cast<long>(SwitchCount), expected, rate, ErrorName(error));
  }
  error = asio->disposeBuffers();
  printf("    disposeBuffers: %s\n", ErrorName(error));
}

// ---- the play mode ----

struct PlayOptions {
  long milliseconds = 0;
  double rate = 44100;
  long dsdMultiple = 0;  // 64, 128 or 256: native DSD at that multiple of 44100 Hz
  const wchar_t *again = nullptr;  // "start" or "buffers"
  bool mta = false;
  const wchar_t *capture = nullptr;
  bool canRates = false;
  bool reset = false;
};

PlayOptions Options;
int Failures = 0;

// The host thread's apartment as a host sees it: its type and whether the thread is still
// initialised (CoInitializeEx with the thread's own model answers S_FALSE; the count it adds is
// taken back at once).
struct Apartment {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  HRESULT again;
  bool operator==(const Apartment &other) const {
    return type == other.type && qualifier == other.qualifier && again == other.again;
  }
};
Apartment HostApartment;

Apartment CurrentApartment() {
  Apartment now = {APTTYPE_CURRENT, APTTYPEQUALIFIER_NONE, E_FAIL};
  if (FAILED(CoGetApartmentType(&now.type, &now.qualifier))) now.type = APTTYPE_CURRENT;
  now.again = CoInitializeEx(nullptr, Options.mta ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(now.again)) CoUninitialize();
  return now;
}

// A driver call must leave the apartment as the host made it; each change is reported once, with
// the call that made it.
void CheckApartment(const char *call) {
  static Apartment before = HostApartment;
  Apartment now = CurrentApartment();
  if (!(now == before)) {
    printf("    FAILED: %s changed the host thread's apartment: type %d (qualifier %d), CoInitializeEx 0x%08lX; "
           "before: type %d, CoInitializeEx 0x%08lX\n",
           call, static_cast<int>(now.type), static_cast<int>(now.qualifier), static_cast<unsigned long>(now.again),
           static_cast<int>(before.type), static_cast<unsigned long>(before.again));
    ++Failures;
  }
  before = now;
}

ASIOError Checked(const char *call, ASIOError error) {
  CheckApartment(call);
  return error;
}

struct Run {
  size_t firstFrame;
  size_t frames;
  long switches;
};

// Appends the file's bytes to a growing buffer; false when there is no such file.
bool AppendFile(const wchar_t *path, unsigned char **data, size_t *size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length = {};
  GetFileSizeEx(file, &length);
  unsigned char *grown = static_cast<unsigned char *>(realloc(*data, *size + static_cast<size_t>(length.QuadPart) + 4));
  DWORD read = 0;
  if (grown) {
    *data = grown;
    if (ReadFile(file, grown + *size, static_cast<DWORD>(length.QuadPart), &read, nullptr)) *size += read;
  }
  CloseHandle(file);
  return true;
}

// How far a run may end short of what the host wrote: the half of the last switch is never played
// (the stream stops before its turn), and what the audio stack still held when the stream stopped
// is dropped, which on a loaded machine can be a few periods more.
const size_t kMostPeriodsShort = 10;

// Compares the capture with the runs' expected words. ALSA's file plugin writes each stream to a
// file of its own (FILE, then FILE.0001, ...); runs of one stream share its file. Each run: at least
// one period of silence, then exactly what the host wrote, in order, with nothing missing or repeated, ending at least a
// period and at most kMostPeriodsShort short, then only silence until the stream stopped.
void CompareCapture(const Run *runs, int runCount, long period) {
  unsigned char *bytes = nullptr;
  size_t size = 0;
  size_t fileEnds[1000];
  int files = 0;
  for (; files < 1000; ++files) {
    wchar_t path[MAX_PATH + 8];
    if (files == 0)
      swprintf(path, _countof(path), L"%ls", Options.capture);
    else
      swprintf(path, _countof(path), L"%ls.%04d", Options.capture, files);
    if (!AppendFile(path, &bytes, &size)) break;
    fileEnds[files] = size / 8;
  }
  if (files == 0) {
    free(bytes);
    printf("    capture: none (the device received nothing)\n");
    return;
  }
  size_t words = size / 4;
  unsigned *captured = reinterpret_cast<unsigned *>(bytes);
  size_t frames = words / 2, nonzero = 0;
  for (size_t i = 0; i < words; ++i) nonzero += captured[i] != 0;
  printf("    capture: %lu frames, %lu nonzero words\n", static_cast<unsigned long>(frames), static_cast<unsigned long>(nonzero));
  if (runCount == 0) {
    free(captured);
    return;
  }
  // A driver that keeps its stream open from one start to the next plays both runs into one stream.
  bool shared = files == 1 && runCount > 1;
  if (files != runCount && !shared) {
    printf("    capture: %d streams for %d runs\n    capture: NOT bit-exact\n", files, runCount);
    free(captured);
    return;
  }
  const unsigned silence = Play.dsd ? 0x69696969u : 0u;
  const size_t one = static_cast<size_t>(period);
  bool exact = true;
  size_t at = 0, difference = 0;
  for (int r = 0; r < runCount && exact; ++r) {
    const size_t end = fileEnds[shared ? 0 : r];
    // The next run follows in the same stream: the silence after this one is the next run's.
    const bool nextHere = shared && r + 1 < runCount;
    const unsigned *expected = Play.expected + runs[r].firstFrame * 2;
    size_t quiet = 0;
    while (at < end && captured[at * 2] == silence && captured[at * 2 + 1] == silence && expected[0] != silence) ++at, ++quiet;
    size_t same = 0;
    while (same < runs[r].frames && at < end && captured[at * 2] == expected[same * 2] &&
           captured[at * 2 + 1] == expected[same * 2 + 1])
      ++same, ++at;
    size_t lost = runs[r].frames - same;
    size_t after = 0;
    while (!nextHere && at < end && captured[at * 2] == silence && captured[at * 2 + 1] == silence) ++at, ++after;
    printf("    capture of run %d: %lu frames of silence, then %lu of the %lu frames written (%ld switches), %lu periods "
           "short, then %lu frames of silence\n",
           r + 1, static_cast<unsigned long>(quiet), static_cast<unsigned long>(same), static_cast<unsigned long>(runs[r].frames),
           runs[r].switches, static_cast<unsigned long>(lost / one), static_cast<unsigned long>(after));
    if (!nextHere && at != end)
      printf("    capture: then %lu frames that are neither the host's next words nor silence\n",
             static_cast<unsigned long>(end - at));
    // At least the period of the first switch, which plays the half not filled yet; before it, the
    // periods the stream played before start returned (and in a shared stream, those between the
    // previous run's stop and the stream's stop).
    bool quietRight = quiet >= one;
    if ((!nextHere && at != end) || same == 0 || !quietRight || lost < one || lost > kMostPeriodsShort * one) {
      exact = false;
      difference = at;
    }
    if (!nextHere) at = end;
  }
  if (exact)
    printf("    capture: bit-exact\n");
  else
    printf("    capture: NOT bit-exact (first difference at frame %lu)\n", static_cast<unsigned long>(difference));
  free(captured);
}

// How long the reset mode waits for the driver's reset request, and for a new driver to play.
const long kResetPatienceMs = 10000;

// The device's frames per second: the rate, or in DSD mode its 32-bit words.
double FramesPerSecond() { return Options.dsdMultiple ? 44100.0 * Options.dsdMultiple / 32 : Options.rate; }

// The format and rate as a host sets them, and room for the signal; false without room. The size
// of a half (what createBuffers is given) and its device frames come back.
bool PrepareSignal(IASIO *asio, long *size, long *periodFrames) {
  ASIOSampleRate rate = Options.rate;
  if (Options.dsdMultiple) {
    ASIOIoFormat format;
    memset(&format, 0, sizeof(format));
    format.FormatType = kASIODSDFormat;
    ASIOError error = Checked("future(kAsioSetIoFormat)", asio->future(kAsioSetIoFormat, &format));
    printf("    future(kAsioSetIoFormat, DSD): %s\n", ErrorName(error));
    rate = 44100.0 * Options.dsdMultiple;
  }
  ASIOError error = Checked("setSampleRate", asio->setSampleRate(rate));
  printf("    setSampleRate(%.0f): %s\n", rate, ErrorName(error));
  long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  Checked("getBufferSize", asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
  ASIOChannelInfo info;
  memset(&info, 0, sizeof(info));
  Checked("getChannelInfo", asio->getChannelInfo(&info));
  Play.dsd = info.type == ASIOSTDSDInt8MSB1;
  Play.halfBytes = Play.dsd ? preferred / 8 : preferred * 4;
  long period = Play.halfBytes / 4;  // frames of the device per buffer half
  BufferChannels = 2;
  memset(BufferInfos, 0, sizeof(BufferInfos));
  for (long i = 0; i < BufferChannels; ++i) BufferInfos[i].channelNum = i;
  // Room for twice the expected number of switches of every run (and of the wait for a reset).
  long ms = Options.milliseconds * 4 + (Options.reset ? kResetPatienceMs : 0);
  Play.capacity = static_cast<size_t>(FramesPerSecond() * ms / 1000.0) + 64 * static_cast<size_t>(period);
  if (!Play.expected) Play.expected = static_cast<unsigned *>(calloc(Play.capacity, 2 * sizeof(unsigned)));
  printf("    play: %s at %.0f Hz, 2 outputs of %ld (%ld device frames a half), %ld ms%s\n", Play.dsd ? "DSD" : "PCM", rate,
         preferred, period, Options.milliseconds, Options.again ? ", twice" : "");
  *size = preferred;
  *periodFrames = period;
  return Play.expected != nullptr;
}

// Plays the signal as a host does: the format first, then buffers, start, a while, stop.
void PlayStream(IASIO *asio) {
  char text[128];
  long preferred = 0, period = 0;
  PrepareSignal(asio, &preferred, &period);
  double framesPerSecond = FramesPerSecond();
  ASIOError error = ASE_OK;
  Run runs[2];
  int runCount = 0;
  bool buffers = false;
  for (int pass = 0; pass < (Options.again ? 2 : 1) && Play.expected; ++pass) {
    if (!buffers || (pass > 0 && wcscmp(Options.again, L"buffers") == 0)) {
      if (buffers) printf("    disposeBuffers: %s\n", ErrorName(Checked("disposeBuffers", asio->disposeBuffers())));
      double began = Milliseconds();
      error = Checked("createBuffers", asio->createBuffers(BufferInfos, BufferChannels, preferred, &Callbacks));
      double tookMs = Milliseconds() - began;
      if (error != ASE_OK) {
        printf("    createBuffers refused: %s: %s\n", ErrorName(error), ErrorText(asio, text));
        break;
      }
      printf("    timing: createBuffers %.2f ms\n", tookMs);
      buffers = true;
    }
    // Both halves cleared before each start, as hosts do: one-bit silence is the idle pattern.
    for (long i = 0; i < BufferChannels; ++i)
      for (int half = 0; half < 2; ++half) memset(BufferInfos[i].buffers[half], Play.dsd ? 0x69 : 0, Play.halfBytes);
    Run &run = runs[runCount];
    run.firstFrame = static_cast<size_t>(Play.frames);
    SwitchCount = 0;
    double began = Milliseconds();
    error = Checked("start", asio->start());
    double tookMs = Milliseconds() - began;
    // Switches that came before start returned: most hosts ignore them, so they are periods lost.
    long early = SwitchCount;
    if (error == ASE_OK) printf("    timing: start %.2f ms, %ld switches before it returned\n", tookMs, early);
    ErrorText(asio, text);
    CheckApartment("getErrorMessage");
    if (error != ASE_OK) {
      printf("    start refused: %s: %s\n", ErrorName(error), text);
      break;
    }
    printf("    start: ASE_OK; getErrorMessage: %s\n", text);
    PrintEndpointFormat("while playing");
    Sleep(static_cast<DWORD>(Options.milliseconds));
    error = Checked("stop", asio->stop());
    run.switches = SwitchCount;
    run.frames = static_cast<size_t>(Play.frames) - run.firstFrame;
    ++runCount;
    printf("    run %d: %ld buffer switches in %ld ms (about %.0f expected); stop: %s\n", runCount, run.switches,
           Options.milliseconds, framesPerSecond * Options.milliseconds / 1000.0 / period, ErrorName(error));
  }
  if (buffers) printf("    disposeBuffers: %s\n", ErrorName(Checked("disposeBuffers", asio->disposeBuffers())));
  if (Play.overflow) {
    printf("    FAILED: more switches than room to note them\n");
    ++Failures;
  }
  if (Options.capture) CompareCapture(runs, runCount, period);
}

// Loads the driver through COM as hosts do: the class identifier is also the interface asked for.
// Null, and why printed, when it cannot be had.
IASIO *CreateDriver(const DriverEntry &entry) {
  CLSID classId;
  if (FAILED(CLSIDFromString(const_cast<LPOLESTR>(entry.clsidText), &classId))) {
    printf("    its CLSID value is not a class identifier\n");
    return nullptr;
  }
  void *object = nullptr;
  HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, classId, &object);
  if (hr == E_NOINTERFACE && Options.mta) {
    // An apartment-threaded class made for the multithreaded apartment lives in a single-threaded
    // one of COM's and is reached through a proxy, which IASIO has none of. A host in the
    // multithreaded apartment asks the module's class factory itself.
    printf("    CoCreateInstance: E_NOINTERFACE in the multithreaded apartment; asking the module's class factory\n");
    typedef HRESULT(STDAPICALLTYPE * GetClassObjectFunction)(REFCLSID, REFIID, void **);
    HMODULE module = LoadLibraryW(entry.inprocServer);
    FARPROC found = module ? GetProcAddress(module, "DllGetClassObject") : nullptr;
    IClassFactory *factory = nullptr;
    if (found && SUCCEEDED(hr = reinterpret_cast<GetClassObjectFunction>(reinterpret_cast<void (*)()>(found))(
                               classId, IID_IClassFactory, reinterpret_cast<void **>(&factory)))) {
      hr = factory->CreateInstance(nullptr, classId, &object);
      factory->Release();
    }
  }
  if (FAILED(hr) || !object) {
    printf("    CoCreateInstance failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return nullptr;
  }
  return static_cast<IASIO *>(object);
}

const char *CanUnloadNow(const DriverEntry &entry) {
  HMODULE module = GetModuleHandleW(entry.inprocServer);
  typedef HRESULT(STDAPICALLTYPE * CanUnloadFunction)();
  FARPROC found = module ? GetProcAddress(module, "DllCanUnloadNow") : nullptr;
  if (!found) return "the module is not loaded under its registered path";
  HRESULT canUnload = reinterpret_cast<CanUnloadFunction>(reinterpret_cast<void (*)()>(found))();
  return canUnload == S_OK ? "S_OK" : canUnload == S_FALSE ? "S_FALSE" : "failure";
}

// Buffers, both halves cleared, and start, for the run `run`.
ASIOError StartRun(IASIO *asio, long size, Run *run) {
  char text[128];
  ASIOError error = asio->createBuffers(BufferInfos, BufferChannels, size, &Callbacks);
  if (error != ASE_OK) {
    printf("    createBuffers refused: %s: %s\n", ErrorName(error), ErrorText(asio, text));
    return error;
  }
  for (long i = 0; i < BufferChannels; ++i)
    for (int half = 0; half < 2; ++half) memset(BufferInfos[i].buffers[half], Play.dsd ? 0x69 : 0, Play.halfBytes);
  run->firstFrame = static_cast<size_t>(Play.frames);
  SwitchCount = 0;
  error = asio->start();
  if (error != ASE_OK) asio->disposeBuffers();
  return error;
}

void EndRun(Run *run) {
  run->switches = SwitchCount;
  run->frames = static_cast<size_t>(Play.frames) - run->firstFrame;
}

// Plays until the device goes away and the driver asks for a reset, then does what JUCE does with
// the request: gives the driver up and makes it again (here: until it plays, as the device may
// still be away), and plays for Options.milliseconds. Returns the driver that played last, or
// null. The first driver is released here.
IASIO *PlayThroughLoss(const DriverEntry &entry, IASIO *asio) {
  char text[128];
  long size = 0, period = 0;
  Run runs[2];
  if (!PrepareSignal(asio, &size, &period)) return asio;
  ASIOError error = StartRun(asio, size, &runs[0]);
  if (error != ASE_OK) {
    printf("    start refused: %s: %s\n", ErrorName(error), ErrorText(asio, text));
    return asio;
  }
  printf("    start: ASE_OK; getErrorMessage: %s\n", ErrorText(asio, text));
  fflush(stdout);
  for (long waited = 0; ResetRequests == 0 && waited < kResetPatienceMs; waited += 5) Sleep(5);
  EndRun(&runs[0]);
  if (ResetRequests == 0) {
    printf("    FAILED: no reset request within %ld ms (%ld buffer switches)\n", kResetPatienceMs, runs[0].switches);
    ++Failures;
    asio->stop();
    asio->disposeBuffers();
    return asio;
  }
  printf("    reset request at %llu ms (epoch), after %ld buffer switches\n", ResetRequestedAt, runs[0].switches);
  printf("    getErrorMessage after the request: %s\n", ErrorText(asio, text));
  error = asio->start();
  printf("    start on the lost stream: %s: %s\n", ErrorName(error), ErrorText(asio, text));
  ULONGLONG before = GetTickCount64();
  ASIOError stopped = asio->stop();
  ULONGLONG afterStop = GetTickCount64();
  ASIOError disposed = asio->disposeBuffers();
  ULONGLONG afterDispose = GetTickCount64();
  ULONG left = asio->Release();
  ULONGLONG afterRelease = GetTickCount64();
  printf("    given up: stop %s in %llu ms, disposeBuffers %s in %llu ms, Release in %llu ms (%lu left); "
         "DllCanUnloadNow: %s\n",
         ErrorName(stopped), afterStop - before, ErrorName(disposed), afterDispose - afterStop,
         afterRelease - afterDispose, static_cast<unsigned long>(left), CanUnloadNow(entry));
  fflush(stdout);

  IASIO *again = nullptr;
  int attempts = 0;
  for (ULONGLONG deadline = GetTickCount64() + kResetPatienceMs; GetTickCount64() < deadline; Sleep(100)) {
    ++attempts;
    again = CreateDriver(entry);
    if (!again) return nullptr;
    if (again->init(GetConsoleWindow()) == ASIOTrue && PrepareSignal(again, &size, &period) &&
        (error = StartRun(again, size, &runs[1])) == ASE_OK)
      break;
    if (attempts == 1) printf("    created again: start refused: %s: %s\n", ErrorName(error), ErrorText(again, text));
    again->Release();
    again = nullptr;
  }
  printf("    created again %d times until it played\n", attempts);
  if (!again) return nullptr;
  printf("    start: ASE_OK; getErrorMessage: %s\n", ErrorText(again, text));
  Sleep(static_cast<DWORD>(Options.milliseconds));
  error = again->stop();
  EndRun(&runs[1]);
  printf("    run 2: %ld buffer switches in %ld ms; stop: %s\n", runs[1].switches, Options.milliseconds, ErrorName(error));
  again->disposeBuffers();
  if (Play.overflow) {
    printf("    FAILED: more switches than room to note them\n");
    ++Failures;
  }
  if (Options.capture) CompareCapture(runs, 2, period);
  return again;
}

// Loads the driver and prints what it answers, or plays through it.
int ProbeDriver(const DriverEntry &entry, long runMilliseconds, bool controlPanel) {
  char utf8[512];
  printf("loading \"%s\"\n", Utf8(entry.name, utf8, sizeof(utf8)));
  IASIO *asio = CreateDriver(entry);
  if (!asio) return 3;
  bool playing = Options.milliseconds > 0;
  if (playing) PrintEndpointFormat("before init");
  if (playing) CheckApartment("CoCreateInstance");
  char text[128];
  ASIOBool ready = asio->init(GetConsoleWindow());
  if (playing) CheckApartment("init");
  if (ready == ASIOTrue)
    printf("    init: ASIOTrue\n");
  else
    printf("    init: %ld, refused: %s\n", ready, ErrorText(asio, text));
  if (playing && Options.reset) {
    asio = PlayThroughLoss(entry, asio);
    if (!asio) return 5;
  } else if (playing) {
    PlayStream(asio);
  } else if (Options.canRates) {
    PrintRateAnswers(asio);
  } else {
    PrintAnswers(asio);
    if (runMilliseconds > 0) RunStream(asio, runMilliseconds);
    if (controlPanel) printf("    controlPanel: %s\n", ErrorName(asio->controlPanel()));
  }
  ULONG left = asio->Release();
  if (playing) CheckApartment("Release");
  printf("    Release: %lu references left\n", static_cast<unsigned long>(left));
  if (playing) PrintEndpointFormat("after Release");

  // The driver's own answer on whether it may go, asked of the module COM loaded.
  printf("    DllCanUnloadNow: %s\n", CanUnloadNow(entry));
  if (left != 0) return 4;
  return Failures > 0 ? 5 : 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  const wchar_t *wanted = nullptr;
  long runMilliseconds = 0;
  bool controlPanel = false;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--run") == 0 && i + 1 < argc)
      runMilliseconds = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--control-panel") == 0)
      controlPanel = true;
    else if (wcscmp(argv[i], L"--can-rates") == 0)
      Options.canRates = true;
    else if (wcscmp(argv[i], L"--play") == 0 && i + 1 < argc)
      Options.milliseconds = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--rate") == 0 && i + 1 < argc)
      Options.rate = wcstod(argv[++i], nullptr);
    else if (wcscmp(argv[i], L"--dsd") == 0 && i + 1 < argc)
      Options.dsdMultiple = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--again") == 0 && i + 1 < argc &&
             (wcscmp(argv[i + 1], L"start") == 0 || wcscmp(argv[i + 1], L"buffers") == 0))
      Options.again = argv[++i];
    else if (wcscmp(argv[i], L"--mta") == 0)
      Options.mta = true;
    else if (wcscmp(argv[i], L"--reset") == 0)
      Options.reset = true;
    else if (wcscmp(argv[i], L"--capture") == 0 && i + 1 < argc)
      Options.capture = argv[++i];
    else if (!wanted && argv[i][0] != L'-')
      wanted = argv[i];
    else {
      printf("usage: asioprobe [driver name [--run milliseconds] [--control-panel] [--can-rates]]\n"
             "       asioprobe driver name --play milliseconds [--rate hz | --dsd 64|128|256] [--again start|buffers]\n"
             "                 [--mta] [--capture file]\n"
             "       asioprobe driver name --play milliseconds --reset [--rate hz] [--capture file]\n");
      return 1;
    }
  }
  printf("asioprobe (%d-bit): drivers under HKLM\\SOFTWARE\\ASIO\n", static_cast<int>(sizeof(void *) * 8));
  static DriverEntry drivers[kMaxDrivers];
  int count = ListDrivers(drivers);
  if (!wanted) return 0;
  const DriverEntry *entry = nullptr;
  for (int i = 0; i < count && !entry; ++i)
    if (_wcsicmp(drivers[i].name, wanted) == 0) entry = &drivers[i];
  if (!entry) {
    char utf8[512];
    printf("no driver named \"%s\"\n", Utf8(wanted, utf8, sizeof(utf8)));
    return 2;
  }
  CoInitializeEx(nullptr, Options.mta ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
  HostApartment = CurrentApartment();
  if (Options.milliseconds > 0 && HostApartment.again != S_FALSE) {
    printf("    FAILED: the host thread is not in its apartment before any driver call\n");
    ++Failures;
  }
  int result = ProbeDriver(*entry, runMilliseconds, controlPanel);
  CoUninitialize();
  return result;
}
