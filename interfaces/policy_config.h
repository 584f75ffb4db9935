// The audio service's policy-configuration object, which Windows' Sound settings use to change an
// endpoint's default format. The interface is in no SDK header; its methods after IUnknown begin
// as below, unchanged from Windows 7 on. Only SetDeviceFormat is called, and nothing past it may
// be. One declaration, outside any namespace, for every user of it in the process.
#pragma once

#include <windows.h>
#include <audioclient.h>

struct IPolicyConfig : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR id, WAVEFORMATEX **format) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR id, INT useDefault, WAVEFORMATEX **format) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR id, WAVEFORMATEX *endpointFormat,
                                                    WAVEFORMATEX *mixFormat) = 0;
};

const CLSID kPolicyConfigClass = {0x870AF99C, 0x171D, 0x4F9E, {0xAF, 0x0D, 0xE6, 0x3D, 0xF4, 0x0C, 0x2B, 0xC9}};
const IID kPolicyConfigInterface = {0xF8679F50, 0x850A, 0x41CF, {0x9C, 0x72, 0x43, 0x0F, 0x29, 0x02, 0x90, 0xC8}};
