// The multimedia device API (mmdeviceapi.h): the enumerator, an endpoint device and the
// endpoint's default-format property.
#pragma once
#include "objbase.h"
#include "propsys.h"

#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

typedef enum { eRender = 0, eCapture = 1, eAll = 2 } EDataFlow;
typedef enum { eConsole = 0, eMultimedia = 1, eCommunications = 2 } ERole;

#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008

extern "C" const CLSID CLSID_MMDeviceEnumerator;
extern "C" const IID IID_IMMDeviceEnumerator;
extern "C" const IID IID_IMMDevice;
extern "C" const IID IID_IMMNotificationClient;
// The format the audio engine runs the endpoint at in shared mode, a WAVEFORMATEX in a VT_BLOB;
// WASAPI's exclusive streams as miniaudio opens them take it too.
extern "C" const PROPERTYKEY PKEY_AudioEngine_DeviceFormat;

struct IMMDeviceCollection;

// What the audio service tells a registered client, on a thread of its own.
struct IMMNotificationClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceId, const PROPERTYKEY key) = 0;
};

struct IMMDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD clsCtx, void *activationParams, void **object) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore **properties) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR *id) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD *state) = 0;
};

struct IMMDeviceEnumerator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                       IMMDeviceCollection **devices) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice **endpoint) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice **device) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient *client) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient *client) = 0;
};
