// The audio service's policy-configuration object for the Wine tests, which Wine lacks: what
// Windows' Sound settings use to change an endpoint's default format, over the endpoints of the
// tests' build of Wine's ALSA driver (winealsa-exclusive-event.patch).
//
// That driver keeps an endpoint's default format in the value "DeviceFormat" of the device's key
// under HKCU\Software\Wine\Drivers\winealsa.drv\devices, and opens exclusive streams in that format
// only. SetDeviceFormat writes it there and into the endpoint's property store
// (PKEY_AudioEngine_DeviceFormat, where programs read it), keeping the two in step as the audio
// service does. A program that writes the property store itself changes only what is read, not
// what the endpoint plays, and its stream then does not open.
//
// regsvr32 of each bitness registers the DLL of that bitness in its own registry view.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <string.h>
#include <wchar.h>

#include <new>

#include "policy_config.h"

namespace {

const WCHAR kDevicesKey[] = L"Software\\Wine\\Drivers\\winealsa.drv\\devices";
const WCHAR kDeviceFormatValue[] = L"DeviceFormat";
const WCHAR kGuidValue[] = L"guid";
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

LONG LiveObjects = 0;  // objects and server locks, for DllCanUnloadNow
HMODULE Module = nullptr;

template <typename T>
void ReleaseAndClear(T **p) {
  if (*p) (*p)->Release();
  *p = nullptr;
}

// A format's bytes as its header counts them; plain PCM has no extra bytes whatever cbSize says.
size_t FormatSize(const WAVEFORMATEX *format) {
  return sizeof(WAVEFORMATEX) + (format->wFormatTag == WAVE_FORMAT_PCM ? 0 : format->cbSize);
}

HRESULT OpenEndpoint(LPCWSTR id, IMMDevice **device) {
  *device = nullptr;
  IMMDeviceEnumerator *enumerator = nullptr;
  HRESULT result = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                    reinterpret_cast<void **>(&enumerator));
  if (SUCCEEDED(result)) result = enumerator->GetDevice(id, device);
  ReleaseAndClear(&enumerator);
  return result;
}

// The endpoint's property `key` as a format in task memory.
HRESULT ReadFormatProperty(LPCWSTR id, const PROPERTYKEY &key, WAVEFORMATEX **format) {
  *format = nullptr;
  IMMDevice *device = nullptr;
  IPropertyStore *properties = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT result = OpenEndpoint(id, &device);
  if (SUCCEEDED(result)) result = device->OpenPropertyStore(STGM_READ, &properties);
  if (SUCCEEDED(result)) result = properties->GetValue(key, &value);
  if (SUCCEEDED(result)) {
    if (value.vt != VT_BLOB || value.blob.cbSize < sizeof(WAVEFORMATEX)) {
      result = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    } else if (!(*format = static_cast<WAVEFORMATEX *>(CoTaskMemAlloc(value.blob.cbSize)))) {
      result = E_OUTOFMEMORY;
    } else {
      memcpy(*format, value.blob.pBlobData, value.blob.cbSize);
    }
  }
  PropVariantClear(&value);
  ReleaseAndClear(&properties);
  ReleaseAndClear(&device);
  return result;
}

// The test driver's key for the endpoint: the device key whose "guid" is the endpoint's GUID.
HRESULT OpenDriverKey(IMMDevice *device, HKEY *key) {
  *key = nullptr;
  IPropertyStore *properties = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);
  GUID endpoint = {};
  HRESULT result = device->OpenPropertyStore(STGM_READ, &properties);
  if (SUCCEEDED(result)) result = properties->GetValue(PKEY_AudioEndpoint_GUID, &value);
  if (SUCCEEDED(result))
    result = value.vt == VT_LPWSTR ? CLSIDFromString(value.pwszVal, &endpoint) : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  PropVariantClear(&value);
  ReleaseAndClear(&properties);
  if (FAILED(result)) return result;

  HKEY devices = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kDevicesKey, 0, KEY_READ, &devices);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  WCHAR name[256];
  for (DWORD index = 0; !*key; ++index) {
    DWORD nameChars = _countof(name);
    if (RegEnumKeyExW(devices, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    GUID guid = {};
    DWORD type = 0, size = sizeof(guid);
    if (RegGetValueW(devices, name, kGuidValue, RRF_RT_REG_BINARY, &type, &guid, &size) == ERROR_SUCCESS &&
        size == sizeof(guid) && IsEqualGUID(guid, endpoint))
      RegOpenKeyExW(devices, name, 0, KEY_SET_VALUE, key);
  }
  RegCloseKey(devices);
  return *key ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

class PolicyConfig final : public IPolicyConfig {
 public:
  PolicyConfig() { InterlockedIncrement(&LiveObjects); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kPolicyConfigInterface)) return E_NOINTERFACE;
    *object = static_cast<IPolicyConfig *>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references);
    if (left == 0) {
      delete this;
      InterlockedDecrement(&LiveObjects);
    }
    return static_cast<ULONG>(left);
  }

  // The shared mix format: float samples at the default format's rate and channels.
  HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR id, WAVEFORMATEX **format) override {
    if (!id || !format) return E_POINTER;
    WAVEFORMATEX *device = nullptr;
    HRESULT result = ReadFormatProperty(id, PKEY_AudioEngine_DeviceFormat, &device);
    if (FAILED(result)) return result;
    WAVEFORMATEXTENSIBLE *mix = static_cast<WAVEFORMATEXTENSIBLE *>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (mix) {
      memset(mix, 0, sizeof(*mix));
      mix->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
      mix->Format.nChannels = device->nChannels;
      mix->Format.nSamplesPerSec = device->nSamplesPerSec;
      mix->Format.wBitsPerSample = 32;
      mix->Format.nBlockAlign = static_cast<WORD>(device->nChannels * 4);
      mix->Format.nAvgBytesPerSec = device->nSamplesPerSec * mix->Format.nBlockAlign;
      mix->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
      mix->Samples.wValidBitsPerSample = 32;
      mix->dwChannelMask = device->wFormatTag == WAVE_FORMAT_EXTENSIBLE && FormatSize(device) >= sizeof(*mix)
                               ? reinterpret_cast<WAVEFORMATEXTENSIBLE *>(device)->dwChannelMask
                               : (device->nChannels == 2 ? KSAUDIO_SPEAKER_STEREO : 0);
      mix->SubFormat = kSubtypeFloat;
    }
    CoTaskMemFree(device);
    *format = mix ? &mix->Format : nullptr;
    return mix ? S_OK : E_OUTOFMEMORY;
  }

  // The default format, or with useDefault the one the endpoint came with.
  HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR id, INT useDefault, WAVEFORMATEX **format) override {
    if (!id || !format) return E_POINTER;
    return ReadFormatProperty(id, useDefault ? PKEY_AudioEngine_OEMFormat : PKEY_AudioEngine_DeviceFormat, format);
  }

  HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR id, WAVEFORMATEX *endpointFormat, WAVEFORMATEX *mixFormat) override {
    if (!id || !endpointFormat) return E_POINTER;
    size_t size = FormatSize(endpointFormat);
    if (size > sizeof(WAVEFORMATEXTENSIBLE)) return E_INVALIDARG;
    // The engine mixes at the device's rate and channel count.
    if (mixFormat && (mixFormat->nSamplesPerSec != endpointFormat->nSamplesPerSec ||
                      mixFormat->nChannels != endpointFormat->nChannels))
      return E_INVALIDARG;

    IMMDevice *device = nullptr;
    IAudioClient *client = nullptr;
    IPropertyStore *properties = nullptr;
    HKEY key = nullptr;
    HRESULT result = OpenEndpoint(id, &device);
    if (SUCCEEDED(result))
      result = device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, reinterpret_cast<void **>(&client));
    // Only what the endpoint takes for exclusive use can be its default format.
    if (SUCCEEDED(result) &&
        client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, endpointFormat, nullptr) != S_OK)
      result = AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (SUCCEEDED(result)) result = OpenDriverKey(device, &key);
    if (SUCCEEDED(result))
      result = HRESULT_FROM_WIN32(RegSetValueExW(key, kDeviceFormatValue, 0, REG_BINARY,
                                                 reinterpret_cast<const BYTE *>(endpointFormat),
                                                 static_cast<DWORD>(size)));
    // The audio service writes the property store, which it opens for writing as no ordinary
    // program may.
    if (SUCCEEDED(result)) result = device->OpenPropertyStore(STGM_READWRITE, &properties);
    if (SUCCEEDED(result)) {
      PROPVARIANT value;
      PropVariantInit(&value);
      value.vt = VT_BLOB;
      value.blob.cbSize = static_cast<ULONG>(size);
      value.blob.pBlobData = reinterpret_cast<BYTE *>(endpointFormat);
      result = properties->SetValue(PKEY_AudioEngine_DeviceFormat, value);
      if (SUCCEEDED(result)) result = properties->Commit();
    }
    if (key) RegCloseKey(key);
    ReleaseAndClear(&properties);
    ReleaseAndClear(&client);
    ReleaseAndClear(&device);
    return result;
  }

 private:
  ~PolicyConfig() = default;
  LONG references = 1;
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *object = static_cast<IClassFactory *>(this);
    return S_OK;
  }
  // One factory for the module's life.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    PolicyConfig *policy = new (std::nothrow) PolicyConfig();
    if (!policy) return E_OUTOFMEMORY;
    HRESULT result = policy->QueryInterface(iid, object);
    policy->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      InterlockedIncrement(&LiveObjects);
    else
      InterlockedDecrement(&LiveObjects);
    return S_OK;
  }
};

Factory TheFactory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Module = instance;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, kPolicyConfigClass)) return CLASS_E_CLASSNOTAVAILABLE;
  return TheFactory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() { return LiveObjects == 0 ? S_OK : S_FALSE; }

// HKCR\CLSID\{class}\InprocServer32 = this file, in the registry view of the process's bitness.
STDAPI DllRegisterServer() {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(Module, path, _countof(path));
  if (length == 0 || length >= _countof(path)) return SELFREG_E_CLASS;
  WCHAR classText[40];
  if (!StringFromGUID2(kPolicyConfigClass, classText, _countof(classText))) return SELFREG_E_CLASS;
  WCHAR keyPath[96];
  swprintf(keyPath, _countof(keyPath), L"CLSID\\%ls\\InprocServer32", classText);
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path),
                            static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
  static const WCHAR kBoth[] = L"Both";
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE *>(kBoth), sizeof(kBoth));
  if (key) RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
