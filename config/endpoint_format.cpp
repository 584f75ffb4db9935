#include "endpoint_format.h"

#include <windows.h>
#include <objbase.h>
// Defines PKEY_AudioEngine_DeviceFormat here rather than expecting it from a library.
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

namespace {

template <typename T>
void ReleaseAndClear(T **p) {
  if (*p) (*p)->Release();
  *p = nullptr;
}

}  // namespace

void QueryEndpointFormat(const ma_device_id &id, EndpointFormat *format) {
  *format = EndpointFormat();
  IMMDeviceEnumerator *enumerator = nullptr;
  IMMDevice *device = nullptr;
  IPropertyStore *properties = nullptr;
  IAudioClient *client = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);

  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void **>(&enumerator))) &&
      SUCCEEDED(enumerator->GetDevice(reinterpret_cast<LPCWSTR>(id.wasapi), &device)) &&
      SUCCEEDED(device->OpenPropertyStore(STGM_READ, &properties)) &&
      SUCCEEDED(properties->GetValue(PKEY_AudioEngine_DeviceFormat, &value)) && value.vt == VT_BLOB &&
      ParseWaveFormat(value.blob.pBlobData, value.blob.cbSize, format) &&
      SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, /* activation params */ nullptr,
                                 reinterpret_cast<void **>(&client)))) {
    // The same question the stream asks before it opens the endpoint in this format.
    format->exclusiveAccepted =
        client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, reinterpret_cast<WAVEFORMATEX *>(value.blob.pBlobData),
                                  /* closest match */ nullptr) == S_OK;
  }

  PropVariantClear(&value);
  ReleaseAndClear(&client);
  ReleaseAndClear(&properties);
  ReleaseAndClear(&device);
  ReleaseAndClear(&enumerator);
}
