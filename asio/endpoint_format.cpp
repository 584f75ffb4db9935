#include "endpoint_format.h"

#include <string.h>

#include <windows.h>
#include <objbase.h>
// Defines the GUIDs and PKEY_AudioEngine_DeviceFormat of the headers below here rather than
// expecting them from a library.
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

// Writing PKEY_AudioEngine_DeviceFormat through the endpoint's property store would leave the
// audio components out of step: the default format is changed through the policy object only.
#include "policy_config.h"

namespace {

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT: the format tag followed by a fixed tail.
const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const WORD kStreamChannels = 2;
const WORD kStreamBits = 32;

const WORD kWaveFormatPcm = 0x0001;
const WORD kWaveFormatFloat = 0x0003;
const WORD kWaveFormatExtensible = 0xFFFE;
// WAVEFORMATEX without its extra bytes, and WAVEFORMATEXTENSIBLE in full.
const size_t kWaveFormatExSize = 18;
const size_t kWaveFormatExtensibleSize = 40;
const BYTE kSubtypeTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

WORD Word(const BYTE *at) { return static_cast<WORD>(at[0] | at[1] << 8); }
DWORD Dword(const BYTE *at) { return static_cast<DWORD>(Word(at)) | static_cast<DWORD>(Word(at + 2)) << 16; }

template <typename T>
void ReleaseAndClear(T **p) {
  if (*p) (*p)->Release();
  *p = nullptr;
}

// Integer or float samples in `bits`-bit words, all bits valid.
void MakeExtensible(DWORD rate, WORD channels, WORD bits, bool isFloat, DWORD channelMask, FormatBytes *format) {
  WAVEFORMATEXTENSIBLE extensible;
  memset(&extensible, 0, sizeof(extensible));
  extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  extensible.Format.nChannels = channels;
  extensible.Format.nSamplesPerSec = rate;
  extensible.Format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
  extensible.Format.nAvgBytesPerSec = rate * extensible.Format.nBlockAlign;
  extensible.Format.wBitsPerSample = bits;
  extensible.Format.cbSize = sizeof(extensible) - sizeof(WAVEFORMATEX);
  extensible.Samples.wValidBitsPerSample = bits;
  extensible.dwChannelMask = channelMask;
  extensible.SubFormat = isFloat ? kSubtypeFloat : kSubtypePcm;
  static_assert(sizeof(extensible) <= sizeof(format->bytes), "a format fits");
  memcpy(format->bytes, &extensible, sizeof(extensible));
  format->size = sizeof(extensible);
}

// The mix format Windows pairs with a default format: float samples at its rate and channels.
void MakeMixFormat(const FormatBytes &format, FormatBytes *mix) {
  EndpointFormat parsed;
  ParseWaveFormat(format.bytes, format.size, &parsed);
  DWORD mask = parsed.channels == kStreamChannels ? KSAUDIO_SPEAKER_STEREO : 0;
  if (Word(format.bytes) == kWaveFormatExtensible) mask = Dword(format.bytes + 20);
  MakeExtensible(parsed.sampleRate, parsed.channels, kStreamBits, /* float */ true, mask, mix);
}

HRESULT OpenEndpoint(LPCWSTR id, IMMDevice **device) {
  *device = nullptr;
  IMMDeviceEnumerator *enumerator = nullptr;
  HRESULT result = CoCreateInstance(CLSID_MMDeviceEnumerator, /* outer */ nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                    reinterpret_cast<void **>(&enumerator));
  if (SUCCEEDED(result)) result = enumerator->GetDevice(id, device);
  ReleaseAndClear(&enumerator);
  return result;
}

}  // namespace

bool ParseWaveFormat(const BYTE *bytes, size_t size, EndpointFormat *format) {
  *format = EndpointFormat();
  if (!bytes || size < kWaveFormatExSize) return false;
  WORD tag = Word(bytes);
  WORD channels = Word(bytes + 2);
  DWORD rate = Dword(bytes + 4);
  WORD bits = Word(bytes + 14);
  WORD extra = Word(bytes + 16);
  WORD validBits = bits;
  // Only plain PCM has its extra size ignored; for any other tag whoever takes the format (here
  // IsFormatSupported) reads that many bytes after the header.
  if (tag != kWaveFormatPcm && size < kWaveFormatExSize + extra) return false;
  if (tag == kWaveFormatExtensible) {
    if (extra < kWaveFormatExtensibleSize - kWaveFormatExSize) return false;
    validBits = Word(bytes + 18);
    const BYTE *subtype = bytes + 24;
    for (size_t i = 0; i < sizeof(kSubtypeTail); ++i)
      if (subtype[4 + i] != kSubtypeTail[i]) return false;
    if (Dword(subtype) > 0xFFFF) return false;
    tag = static_cast<WORD>(Dword(subtype));
  }
  if (tag != kWaveFormatPcm && tag != kWaveFormatFloat) return false;
  format->known = true;
  format->sampleRate = rate;
  format->channels = channels;
  format->containerBits = bits;
  format->validBits = validBits;
  format->isFloat = tag == kWaveFormatFloat;
  return true;
}

bool SameFormat(const FormatBytes &a, const FormatBytes &b) {
  return a.size == b.size && a.size <= sizeof(a.bytes) && memcmp(a.bytes, b.bytes, a.size) == 0;
}

bool IsStreamFormat(const FormatBytes &format, DWORD rate) {
  EndpointFormat parsed;
  if (!ParseWaveFormat(format.bytes, format.size, &parsed)) return false;
  WORD valid = parsed.validBits ? parsed.validBits : parsed.containerBits;
  return !parsed.isFloat && parsed.containerBits == kStreamBits && valid == kStreamBits &&
         parsed.channels == kStreamChannels && parsed.sampleRate == rate;
}

void MakeStreamFormat(DWORD rate, FormatBytes *format) {
  MakeExtensible(rate, kStreamChannels, kStreamBits, /* float */ false, KSAUDIO_SPEAKER_STEREO, format);
}

bool EndpointIdOf(const ma_context &context, const ma_device_info &device, EndpointId id) {
  id[0] = L'\0';
  if (context.backend != ma_backend_wasapi) return false;
  // Copied unit by unit: miniaudio keeps UTF-16 code units, which are WCHARs on Windows.
  size_t length = 0;
  while (length < kEndpointIdChars && device.id.wasapi[length] != 0) {
    id[length] = static_cast<WCHAR>(device.id.wasapi[length]);
    ++length;
  }
  id[length] = L'\0';
  return length > 0;
}

HRESULT ReadEndpointFormat(LPCWSTR id, FormatBytes *format) {
  format->size = 0;
  IMMDevice *device = nullptr;
  IPropertyStore *properties = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT result = OpenEndpoint(id, &device);
  if (SUCCEEDED(result)) result = device->OpenPropertyStore(STGM_READ, &properties);
  if (SUCCEEDED(result)) result = properties->GetValue(PKEY_AudioEngine_DeviceFormat, &value);
  if (SUCCEEDED(result)) {
    result = S_FALSE;
    EndpointFormat parsed;
    if (value.vt == VT_BLOB && value.blob.cbSize <= sizeof(format->bytes) &&
        ParseWaveFormat(value.blob.pBlobData, value.blob.cbSize, &parsed)) {
      memcpy(format->bytes, value.blob.pBlobData, value.blob.cbSize);
      format->size = value.blob.cbSize;
      result = S_OK;
    }
  }
  PropVariantClear(&value);
  ReleaseAndClear(&properties);
  ReleaseAndClear(&device);
  return result;
}

HRESULT AskExclusiveFormat(LPCWSTR id, const FormatBytes &format) {
  IMMDevice *device = nullptr;
  IAudioClient *client = nullptr;
  HRESULT result = OpenEndpoint(id, &device);
  if (SUCCEEDED(result))
    result = device->Activate(IID_IAudioClient, CLSCTX_ALL, /* activation params */ nullptr,
                              reinterpret_cast<void **>(&client));
  if (SUCCEEDED(result)) {
    // The question the stream asks before it opens the endpoint in this format.
    result = client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, reinterpret_cast<const WAVEFORMATEX *>(format.bytes),
                                       /* closest match: none in exclusive mode */ nullptr);
    if (result == AUDCLNT_E_UNSUPPORTED_FORMAT || result == S_FALSE) result = S_FALSE;
  }
  ReleaseAndClear(&client);
  ReleaseAndClear(&device);
  return result;
}

FormatChange SetEndpointFormat(LPCWSTR id, const FormatBytes &format, HRESULT *result) {
  IUnknown *object = nullptr;
  IPolicyConfig *policy = nullptr;
  FormatChange change = FormatChange::kNoPolicyObject;
  *result = CoCreateInstance(kPolicyConfigClass, /* outer */ nullptr, CLSCTX_ALL, IID_IUnknown,
                             reinterpret_cast<void **>(&object));
  if (SUCCEEDED(*result)) *result = object->QueryInterface(kPolicyConfigInterface, reinterpret_cast<void **>(&policy));
  if (SUCCEEDED(*result)) {
    FormatBytes endpointFormat = format;
    FormatBytes mix;
    MakeMixFormat(format, &mix);
    *result = policy->SetDeviceFormat(id, reinterpret_cast<WAVEFORMATEX *>(endpointFormat.bytes),
                                      reinterpret_cast<WAVEFORMATEX *>(mix.bytes));
    change = SUCCEEDED(*result) ? FormatChange::kDone : FormatChange::kRefused;
  }
  ReleaseAndClear(&policy);
  ReleaseAndClear(&object);
  return change;
}

bool PolicyObjectPresent() {
  IUnknown *object = nullptr;
  IPolicyConfig *policy = nullptr;
  HRESULT result = CoCreateInstance(kPolicyConfigClass, /* outer */ nullptr, CLSCTX_ALL, IID_IUnknown,
                                    reinterpret_cast<void **>(&object));
  if (SUCCEEDED(result)) result = object->QueryInterface(kPolicyConfigInterface, reinterpret_cast<void **>(&policy));
  bool present = SUCCEEDED(result);
  ReleaseAndClear(&policy);
  ReleaseAndClear(&object);
  return present;
}

void QueryEndpointFormat(LPCWSTR id, EndpointFormat *format) {
  *format = EndpointFormat();
  FormatBytes bytes;
  if (ReadEndpointFormat(id, &bytes) != S_OK) return;
  ParseWaveFormat(bytes.bytes, bytes.size, format);
  format->exclusiveAccepted = AskExclusiveFormat(id, bytes) == S_OK;
}
