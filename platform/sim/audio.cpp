// Audio endpoints behind the multimedia device API: the enumerator finds an endpoint by its id,
// the endpoint's property store holds its default format, its IAudioClient answers
// IsFormatSupported, and the policy-configuration object changes the default format. An endpoint
// can be unplugged and plugged in again; registered notification clients hear of it on a thread
// of the system's, as on Windows.
#include <atomic>
#include <algorithm>
#include <cstring>
#include <map>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <audioclient.h>
#include <mmdeviceapi.h>

// The policy-configuration interface as the driver declares it (no SDK header has it), served
// as far as SetDeviceFormat; the methods before it are not.
#include "policy_config.h"
#include "sim/audio.h"
#include "sim/machine.h"

extern "C" const CLSID CLSID_MMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
extern "C" const IID IID_IMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
extern "C" const IID IID_IMMDevice = {0xD666063F, 0x1587, 0x4E43, {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};
extern "C" const IID IID_IMMNotificationClient = {
    0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};
extern "C" const IID IID_IAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
extern "C" const IID IID_IPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
extern "C" const PROPERTYKEY PKEY_AudioEngine_DeviceFormat = {
    {0xF19F064D, 0x082C, 0x4E27, {0xBC, 0x73, 0x68, 0x82, 0xA1, 0xBB, 0x8E, 0x4C}}, 0};

namespace {

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct Endpoint {
  std::vector<uint8_t> defaultFormat, initialFormat, mixFormat;
  std::vector<DWORD> exclusiveRates;
  bool present = true;
};

struct Audio {
  std::mutex lock;
  std::map<std::wstring, Endpoint> endpoints;
  sim::PolicyService policy = sim::PolicyService::kPresent;
  HRESULT refusal = E_ACCESSDENIED;
  int setCalls = 0, supportedCalls = 0;
  int live = 0;
  // Reads of the default format that succeed before the failing ones begin (-1: none fail).
  int readsBeforeFailing = -1, failingReads = 0;
  std::vector<IMMNotificationClient *> clients;
  // Threads delivering a state change to the clients; joined by WaitForEndpointNotifications.
  std::vector<std::thread> deliveries;
  // State changes handed out and delivered, so that each is delivered after the one before it.
  std::condition_variable delivered;
  unsigned long long changesQueued = 0, changesDelivered = 0;
  // The endpoint the next SetDeviceFormat unplugs before it answers.
  std::wstring unplugOnFormatChange;
};

Audio &State() {
  static Audio audio;
  return audio;
}

void JoinDeliveries() {
  Audio &a = State();
  std::vector<std::thread> running;
  {
    std::lock_guard<std::mutex> guard(a.lock);
    running.swap(a.deliveries);
  }
  for (std::thread &delivery : running) delivery.join();
}

// Under the lock: tells every registered client on a thread of its own, holding a reference to
// each until it has been told, as the audio service does.
void DeliverStateChange(Audio &a, const std::wstring &id, DWORD state) {
  std::vector<IMMNotificationClient *> told = a.clients;
  for (IMMNotificationClient *client : told) client->AddRef();
  unsigned long long turn = ++a.changesQueued;
  a.deliveries.emplace_back([told, id, state, turn] {
    Audio &audio = State();
    {
      std::unique_lock<std::mutex> guard(audio.lock);
      audio.delivered.wait(guard, [&] { return audio.changesDelivered + 1 == turn; });
    }
    for (IMMNotificationClient *client : told) {
      client->OnDeviceStateChanged(id.c_str(), state);
      client->Release();
    }
    std::lock_guard<std::mutex> guard(audio.lock);
    audio.changesDelivered = turn;
    audio.delivered.notify_all();
  });
}

void SetPresence(Audio &a, const std::wstring &id, bool present) {
  auto found = a.endpoints.find(id);
  if (found == a.endpoints.end() || found->second.present == present) return;
  found->second.present = present;
  DeliverStateChange(a, id, present ? DEVICE_STATE_ACTIVE : DEVICE_STATE_UNPLUGGED);
}

bool Present(Audio &a, const std::wstring &id) {
  auto found = a.endpoints.find(id);
  return found != a.endpoints.end() && found->second.present;
}

void ResetAudio() {
  JoinDeliveries();
  Audio &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  a.clients.clear();
  a.unplugOnFormatChange.clear();
  a.endpoints.clear();
  a.policy = sim::PolicyService::kPresent;
  a.refusal = E_ACCESSDENIED;
  a.setCalls = a.supportedCalls = 0;
  a.live = 0;
  a.readsBeforeFailing = -1;
  a.failingReads = 0;
}

// Whether this read of the default format is one a test made fail.
bool ReadFails() {
  Audio &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  if (a.readsBeforeFailing < 0 || a.failingReads == 0) return false;
  if (a.readsBeforeFailing > 0) {
    --a.readsBeforeFailing;
    return false;
  }
  --a.failingReads;
  return true;
}
sim::ResetRegistration registration(ResetAudio);

// The bytes a WAVEFORMATEX pointer stands for: the header and cbSize more, except that plain PCM
// has no extra bytes whatever cbSize says.
std::vector<uint8_t> FormatBytes(const WAVEFORMATEX *format) {
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(format);
  size_t size = sizeof(WAVEFORMATEX) + (format->wFormatTag == WAVE_FORMAT_PCM ? 0 : format->cbSize);
  return std::vector<uint8_t>(bytes, bytes + size);
}

bool IsInt32Stereo(const WAVEFORMATEX *format) {
  if (format->nChannels != 2 || format->wBitsPerSample != 32) return false;
  if (format->wFormatTag == WAVE_FORMAT_PCM) return true;
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || format->cbSize < 22) return false;
  const WAVEFORMATEXTENSIBLE *extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(format);
  WORD valid = extensible->Samples.wValidBitsPerSample;
  return IsEqualGUID(extensible->SubFormat, kSubtypePcm) && (valid == 32 || valid == 0);
}

// Reference counting shared by every object here; each counts in LiveAudioObjects.
class Counted {
 public:
  Counted() {
    std::lock_guard<std::mutex> guard(State().lock);
    ++State().live;
  }
  virtual ~Counted() {
    std::lock_guard<std::mutex> guard(State().lock);
    --State().live;
  }
  ULONG AddRefCount() { return static_cast<ULONG>(++references); }
  ULONG ReleaseCount() {
    LONG left = --references;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  std::atomic<LONG> references{1};
};

#define COUNTED_UNKNOWN(Interface, iid)                                                  \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {        \
    if (!object) return E_POINTER;                                                       \
    *object = nullptr;                                                                   \
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, iid)) return E_NOINTERFACE; \
    AddRefCount();                                                                       \
    *object = static_cast<Interface *>(this);                                            \
    return S_OK;                                                                         \
  }                                                                                      \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }                    \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseCount(); }

class PropertyStore : public IPropertyStore, public Counted {
 public:
  explicit PropertyStore(const std::wstring &endpointId) : id(endpointId) {}
  COUNTED_UNKNOWN(IPropertyStore, IID_IPropertyStore)
  HRESULT STDMETHODCALLTYPE GetCount(DWORD *) override { sim::Unimplemented("IPropertyStore::GetCount"); }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY *) override { sim::Unimplemented("IPropertyStore::GetAt"); }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT *value) override {
    if (!value) return E_POINTER;
    PropVariantInit(value);
    if (ReadFails()) return E_FAIL;
    std::vector<uint8_t> format = sim::EndpointDefaultFormat(id);
    // A key the store does not hold reads as VT_EMPTY, and succeeds.
    if (!IsEqualGUID(key.fmtid, PKEY_AudioEngine_DeviceFormat.fmtid) || key.pid != PKEY_AudioEngine_DeviceFormat.pid ||
        format.empty())
      return S_OK;
    BYTE *blob = static_cast<BYTE *>(CoTaskMemAlloc(format.size()));
    if (!blob) return E_OUTOFMEMORY;
    memcpy(blob, format.data(), format.size());
    value->vt = VT_BLOB;
    value->blob.cbSize = static_cast<ULONG>(format.size());
    value->blob.pBlobData = blob;
    return S_OK;
  }
  // Applications do not write the default format through the store: that puts the audio
  // components out of step. Nothing here may try.
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, const PROPVARIANT &) override {
    sim::Unimplemented("IPropertyStore::SetValue on an audio endpoint");
  }
  HRESULT STDMETHODCALLTYPE Commit() override { sim::Unimplemented("IPropertyStore::Commit on an audio endpoint"); }

 private:
  std::wstring id;
};

class AudioClient : public IAudioClient, public Counted {
 public:
  explicit AudioClient(const std::wstring &endpointId) : id(endpointId) {}
  COUNTED_UNKNOWN(IAudioClient, IID_IAudioClient)
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME, const WAVEFORMATEX *,
                                       LPCGUID) override {
    sim::Unimplemented("IAudioClient::Initialize");
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32 *) override { sim::Unimplemented("IAudioClient::GetBufferSize"); }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME *) override {
    sim::Unimplemented("IAudioClient::GetStreamLatency");
  }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32 *) override {
    sim::Unimplemented("IAudioClient::GetCurrentPadding");
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX *format,
                                              WAVEFORMATEX **closestMatch) override {
    if (mode != AUDCLNT_SHAREMODE_EXCLUSIVE) sim::Unimplemented("IAudioClient::IsFormatSupported in shared mode");
    if (!format) return E_POINTER;
    if (closestMatch) *closestMatch = nullptr;
    Audio &a = State();
    std::lock_guard<std::mutex> guard(a.lock);
    ++a.supportedCalls;
    auto found = a.endpoints.find(id);
    if (found == a.endpoints.end() || !found->second.present) return AUDCLNT_E_DEVICE_INVALIDATED;
    const Endpoint &endpoint = found->second;
    if (FormatBytes(format) == endpoint.initialFormat) return S_OK;
    if (IsInt32Stereo(format))
      for (DWORD rate : endpoint.exclusiveRates)
        if (rate == format->nSamplesPerSec) return S_OK;
    return AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX **) override { sim::Unimplemented("IAudioClient::GetMixFormat"); }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME *, REFERENCE_TIME *) override {
    sim::Unimplemented("IAudioClient::GetDevicePeriod");
  }
  HRESULT STDMETHODCALLTYPE Start() override { sim::Unimplemented("IAudioClient::Start"); }
  HRESULT STDMETHODCALLTYPE Stop() override { sim::Unimplemented("IAudioClient::Stop"); }
  HRESULT STDMETHODCALLTYPE Reset() override { sim::Unimplemented("IAudioClient::Reset"); }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { sim::Unimplemented("IAudioClient::SetEventHandle"); }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void **) override { sim::Unimplemented("IAudioClient::GetService"); }

 private:
  std::wstring id;
};

class Device : public IMMDevice, public Counted {
 public:
  explicit Device(const std::wstring &endpointId) : id(endpointId) {}
  COUNTED_UNKNOWN(IMMDevice, IID_IMMDevice)
  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, void *, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IAudioClient)) return E_NOINTERFACE;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      if (!Present(State(), id)) return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    *object = static_cast<IAudioClient *>(new AudioClient(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore **properties) override {
    if (!properties) return E_POINTER;
    *properties = nullptr;
    // Writing needs administrator rights, and nothing here writes.
    if (access != STGM_READ) return E_ACCESSDENIED;
    *properties = new PropertyStore(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR *text) override {
    if (!text) return E_POINTER;
    *text = static_cast<LPWSTR>(CoTaskMemAlloc((id.size() + 1) * sizeof(WCHAR)));
    if (!*text) return E_OUTOFMEMORY;
    wmemcpy(*text, id.c_str(), id.size() + 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD *state) override {
    if (!state) return E_POINTER;
    std::lock_guard<std::mutex> guard(State().lock);
    *state = Present(State(), id) ? DEVICE_STATE_ACTIVE : DEVICE_STATE_UNPLUGGED;
    return S_OK;
  }

 private:
  std::wstring id;
};

class Enumerator : public IMMDeviceEnumerator, public Counted {
 public:
  COUNTED_UNKNOWN(IMMDeviceEnumerator, IID_IMMDeviceEnumerator)
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection **) override {
    sim::Unimplemented("IMMDeviceEnumerator::EnumAudioEndpoints");
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice **) override {
    sim::Unimplemented("IMMDeviceEnumerator::GetDefaultAudioEndpoint");
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice **device) override {
    if (!id || !device) return E_POINTER;
    *device = nullptr;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      if (!State().endpoints.count(id)) return E_NOTFOUND;
    }
    *device = new Device(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient *client) override {
    if (!client) return E_POINTER;
    std::lock_guard<std::mutex> guard(State().lock);
    State().clients.push_back(client);
    return S_OK;
  }
  // A state change already on its way may still reach the client after this returns.
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient *client) override {
    if (!client) return E_POINTER;
    std::lock_guard<std::mutex> guard(State().lock);
    std::vector<IMMNotificationClient *> &clients = State().clients;
    auto found = std::find(clients.begin(), clients.end(), client);
    if (found == clients.end()) return E_NOTFOUND;
    clients.erase(found);
    return S_OK;
  }
};

class PolicyConfig : public IPolicyConfig, public Counted {
 public:
  explicit PolicyConfig(bool served) : withInterface(served) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool served = IsEqualIID(riid, IID_IUnknown) || (withInterface && IsEqualIID(riid, kPolicyConfigInterface));
    if (!served) return E_NOINTERFACE;
    AddRefCount();
    *object = static_cast<IPolicyConfig *>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCount(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseCount(); }
  HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR, WAVEFORMATEX **) override {
    sim::Unimplemented("IPolicyConfig::GetMixFormat");
  }
  HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR, INT, WAVEFORMATEX **) override {
    sim::Unimplemented("IPolicyConfig::GetDeviceFormat");
  }
  HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR) override { sim::Unimplemented("IPolicyConfig::ResetDeviceFormat"); }
  HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR id, WAVEFORMATEX *endpointFormat,
                                            WAVEFORMATEX *mixFormat) override {
    if (!id || !endpointFormat || !mixFormat) return E_POINTER;
    Audio &a = State();
    std::lock_guard<std::mutex> guard(a.lock);
    ++a.setCalls;
    auto found = a.endpoints.find(id);
    if (found == a.endpoints.end()) return E_NOTFOUND;
    if (!a.unplugOnFormatChange.empty() && a.unplugOnFormatChange == id) {
      a.unplugOnFormatChange.clear();
      SetPresence(a, id, false);
    }
    if (!found->second.present) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (a.policy == sim::PolicyService::kRefuses) return a.refusal;
    if (a.policy == sim::PolicyService::kIgnores) return S_OK;
    found->second.defaultFormat = FormatBytes(endpointFormat);
    found->second.mixFormat = FormatBytes(mixFormat);
    return S_OK;
  }

 private:
  bool withInterface;
};

// Hands `object` out for `iid` and drops the creation reference.
template <typename Object>
HRESULT HandOut(Object *object, REFIID iid, void **out) {
  HRESULT result = object->QueryInterface(iid, out);
  object->Release();
  return result;
}

void PutUint16(std::vector<uint8_t> &bytes, size_t at, unsigned value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
void PutUint32(std::vector<uint8_t> &bytes, size_t at, DWORD value) {
  PutUint16(bytes, at, value & 0xFFFF);
  PutUint16(bytes, at + 2, value >> 16);
}

}  // namespace

namespace sim {

std::vector<uint8_t> WaveFormat(DWORD rate, WORD channels, WORD bits, bool isFloat, WORD validBits) {
  WAVEFORMATEXTENSIBLE format;
  memset(&format, 0, sizeof(format));
  std::vector<uint8_t> bytes(sizeof(format));
  WORD blockAlign = static_cast<WORD>(channels * (bits / 8));
  PutUint16(bytes, 0, WAVE_FORMAT_EXTENSIBLE);
  PutUint16(bytes, 2, channels);
  PutUint32(bytes, 4, rate);
  PutUint32(bytes, 8, rate * blockAlign);
  PutUint16(bytes, 12, blockAlign);
  PutUint16(bytes, 14, bits);
  PutUint16(bytes, 16, sizeof(format) - sizeof(WAVEFORMATEX));
  PutUint16(bytes, 18, validBits ? validBits : bits);
  PutUint32(bytes, 20, channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0);
  const GUID &subtype = isFloat ? kSubtypeFloat : kSubtypePcm;
  memcpy(&bytes[24], &subtype, sizeof(subtype));
  return bytes;
}

void AddAudioEndpoint(const AudioEndpoint &endpoint) {
  std::lock_guard<std::mutex> guard(State().lock);
  Endpoint &added = State().endpoints[endpoint.id];
  added.defaultFormat = added.initialFormat = endpoint.defaultFormat;
  added.exclusiveRates = endpoint.exclusiveRates;
}

std::vector<uint8_t> EndpointDefaultFormat(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  auto found = State().endpoints.find(id);
  return found == State().endpoints.end() ? std::vector<uint8_t>() : found->second.defaultFormat;
}

void SetEndpointDefaultFormat(const std::wstring &id, const std::vector<uint8_t> &format) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().endpoints[id].defaultFormat = format;
}

std::vector<uint8_t> EndpointMixFormat(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  auto found = State().endpoints.find(id);
  return found == State().endpoints.end() ? std::vector<uint8_t>() : found->second.mixFormat;
}

void FailFormatReads(int successes, int failures) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().readsBeforeFailing = successes;
  State().failingReads = failures;
}

void SetPolicyService(PolicyService service, HRESULT refusal) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().policy = service;
  State().refusal = refusal;
}

int SetDeviceFormatCalls() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().setCalls;
}

int IsFormatSupportedCalls() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().supportedCalls;
}

void UnplugEndpoint(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  SetPresence(State(), id, false);
}

void ReplugEndpoint(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  SetPresence(State(), id, true);
}

bool EndpointPresent(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  return Present(State(), id);
}

void UnplugDuringNextFormatChange(const std::wstring &id) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().unplugOnFormatChange = id;
}

int EndpointNotificationClients() {
  std::lock_guard<std::mutex> guard(State().lock);
  return static_cast<int>(State().clients.size());
}

void WaitForEndpointNotifications() { JoinDeliveries(); }

int LiveAudioObjects() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().live;
}

}  // namespace sim

extern "C" {

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID *object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  // A thread that is in no apartment, while no thread holds the multithreaded one open.
  APTTYPE apartment;
  APTTYPEQUALIFIER qualifier;
  if (CoGetApartmentType(&apartment, &qualifier) == CO_E_NOTINITIALIZED) return CO_E_NOTINITIALIZED;
  if (IsEqualCLSID(clsid, CLSID_MMDeviceEnumerator)) return HandOut(new Enumerator(), iid, object);
  if (IsEqualCLSID(clsid, kPolicyConfigClass)) {
    sim::PolicyService service;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      service = State().policy;
    }
    if (service == sim::PolicyService::kAbsent) return REGDB_E_CLASSNOTREG;
    return HandOut(new PolicyConfig(service != sim::PolicyService::kWithoutInterface), iid, object);
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT STDAPICALLTYPE PropVariantClear(PROPVARIANT *value) {
  if (!value) return S_OK;
  switch (value->vt) {
    case VT_EMPTY:
      break;
    case VT_BLOB:
      CoTaskMemFree(value->blob.pBlobData);
      break;
    case VT_LPWSTR:
      CoTaskMemFree(value->pwszVal);
      break;
    default:
      sim::Unimplemented("PropVariantClear of this type");
  }
  PropVariantInit(value);
  return S_OK;
}

}  // extern "C"
