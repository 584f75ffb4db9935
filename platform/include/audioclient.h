// IAudioClient (audioclient.h): the stand-in serves IsFormatSupported.
#pragma once
#include "mmreg.h"
#include "objbase.h"

typedef LONGLONG REFERENCE_TIME;

typedef enum { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 } AUDCLNT_SHAREMODE;

#define AUDCLNT_E_UNSUPPORTED_FORMAT ((HRESULT)0x88890008L)
#define AUDCLNT_E_DEVICE_INVALIDATED ((HRESULT)0x88890004L)
#define AUDCLNT_E_SERVICE_NOT_RUNNING ((HRESULT)0x88890010L)

extern "C" const IID IID_IAudioClient;

struct IAudioClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME bufferDuration,
                                               REFERENCE_TIME periodicity, const WAVEFORMATEX *format,
                                               LPCGUID session) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32 *frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME *latency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32 *frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX *format,
                                                      WAVEFORMATEX **closestMatch) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX **format) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME *defaultPeriod, REFERENCE_TIME *minimumPeriod) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void **service) = 0;
};
