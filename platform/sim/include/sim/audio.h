// The simulated machine's audio endpoints, as the multimedia device API, IAudioClient and the
// audio service's policy-configuration object show them. Each endpoint has a default format (the
// bytes of PKEY_AudioEngine_DeviceFormat) and a set of rates at which it takes 32-bit integer
// stereo for exclusive use. The policy object can be absent (as under Wine), lack its interface,
// refuse, or answer yes and change nothing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The bytes of a WAVEFORMATEXTENSIBLE: integer PCM, or IEEE float, in `bits`-bit containers
// that hold `validBits` (0: all of them); front left and right for 2 channels.
std::vector<uint8_t> WaveFormat(DWORD rate, WORD channels, WORD bits, bool isFloat = false, WORD validBits = 0);

struct AudioEndpoint {
  std::wstring id;
  // PKEY_AudioEngine_DeviceFormat; empty: the property store has no such value.
  std::vector<uint8_t> defaultFormat;
  // Rates at which IsFormatSupported takes 32-bit integer stereo in exclusive mode. The default
  // format it had when added is taken too.
  std::vector<DWORD> exclusiveRates;
};
void AddAudioEndpoint(const AudioEndpoint &endpoint);

// The default format now, and what a user changes in Sound settings.
std::vector<uint8_t> EndpointDefaultFormat(const std::wstring &id);
void SetEndpointDefaultFormat(const std::wstring &id, const std::vector<uint8_t> &format);
// After `successes` more reads of the default format through a property store, the next
// `failures` fail with E_FAIL.
void FailFormatReads(int successes, int failures);
// The mix format the last SetDeviceFormat gave (empty before one).
std::vector<uint8_t> EndpointMixFormat(const std::wstring &id);

enum class PolicyService {
  kPresent,           // SetDeviceFormat sets the default and the mix format
  kAbsent,            // CoCreateInstance fails: the class is not registered
  kWithoutInterface,  // the object exists, QueryInterface for IPolicyConfig fails
  kRefuses,           // SetDeviceFormat fails with the given HRESULT
  kIgnores,           // SetDeviceFormat answers S_OK and changes nothing
};
void SetPolicyService(PolicyService service, HRESULT refusal = E_ACCESSDENIED);

int SetDeviceFormatCalls();
int IsFormatSupportedCalls();
// Pulls the endpoint's plug, or plugs it in again. While it is unplugged its device reads as
// DEVICE_STATE_UNPLUGGED, Activate and the IAudioClient calls answer AUDCLNT_E_DEVICE_INVALIDATED
// and the policy object refuses it. Each change reaches every registered IMMNotificationClient
// (OnDeviceStateChanged) on a thread of the system's, after the call has returned or later.
void UnplugEndpoint(const std::wstring &id);
void ReplugEndpoint(const std::wstring &id);
bool EndpointPresent(const std::wstring &id);
// The next SetDeviceFormat on the endpoint finds it unplugged: the plug goes as the call is made.
void UnplugDuringNextFormatChange(const std::wstring &id);
int EndpointNotificationClients();
// Returns once every state change so far has been delivered.
void WaitForEndpointNotifications();

// Objects of the audio classes (enumerator, devices, property stores, clients, policy objects)
// handed out and not yet released: a path that forgets a Release leaves this above 0.
int LiveAudioObjects();

}  // namespace sim
