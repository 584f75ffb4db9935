// The Windows default format of the playback endpoint (PKEY_AudioEngine_DeviceFormat): what
// miniaudio's exclusive stream opens the endpoint in, whatever the stream asks for. The driver
// reads it, asks whether the endpoint takes a format for exclusive use, and sets it through the
// audio service's policy-configuration object, as Windows' own Sound settings do; the settings
// program shows it.
//
// The routines that call into COM assume that COM is initialised on the calling thread, and keep
// nothing between calls: each takes the endpoint id and releases everything it obtained before
// it returns, so that any thread with COM may run them.
#pragma once

#include <windows.h>

#include <stddef.h>

#include <miniaudio.h>

// What a default format is, read from its bytes.
struct EndpointFormat {
  bool known;              // Windows reported a default format
  bool exclusiveAccepted;  // and accepts it for exclusive use
  DWORD sampleRate;
  WORD containerBits;
  WORD validBits;
  WORD channels;
  bool isFloat;
};

// Reads a WAVEFORMATEX, or the WAVEFORMATEXTENSIBLE that starts with one, from the bytes of the
// endpoint's default-format property. False (and *format unknown) when the bytes are too short
// for what their header claims, or the format is neither PCM nor float.
bool ParseWaveFormat(const BYTE *bytes, size_t size, EndpointFormat *format);

// A default format as the endpoint holds it, byte for byte, so that it can be put back exactly.
enum { kMaxFormatBytes = 64 };
struct FormatBytes {
  DWORD size;
  BYTE bytes[kMaxFormatBytes];
};
bool SameFormat(const FormatBytes &a, const FormatBytes &b);
// 32-bit integer samples in 32-bit words, 2 channels, `rate`: what the stream asks for.
bool IsStreamFormat(const FormatBytes &format, DWORD rate);
void MakeStreamFormat(DWORD rate, FormatBytes *format);

// miniaudio's WASAPI device id is the endpoint id string: at most 64 characters.
enum { kEndpointIdChars = 64 };
typedef WCHAR EndpointId[kEndpointIdChars + 1];
// The endpoint id of `device`, when `context` runs WASAPI (other backends' ids are no endpoint
// ids). False, with `id` empty, otherwise.
bool EndpointIdOf(const ma_context &context, const ma_device_info &device, EndpointId id);

// The endpoint's default format. S_OK; S_FALSE when the endpoint has none this can hold; an
// error when the endpoint cannot be asked.
HRESULT ReadEndpointFormat(LPCWSTR id, FormatBytes *format);

// Whether the endpoint takes `format` for exclusive use: S_OK yes, S_FALSE no, an error when it
// cannot be asked.
HRESULT AskExclusiveFormat(LPCWSTR id, const FormatBytes &format);

enum class FormatChange {
  kDone,           // the policy object took the new default format
  kNoPolicyObject, // there is no policy object (Wine), or it lacks the interface
  kRefused,        // the policy object refused; *result says why
};
// Makes `format` the endpoint's default format, with a float mix format at its rate and channel
// count, through the policy object. Whether the endpoint really changed is for the caller to read.
FormatChange SetEndpointFormat(LPCWSTR id, const FormatBytes &format, HRESULT *result);
// Whether SetEndpointFormat has a policy object to go through (Windows does, Wine does not).
bool PolicyObjectPresent();

// For the settings program: the default format and whether the endpoint takes it for exclusive
// use. Under a system that keeps no such property, format->known stays false.
void QueryEndpointFormat(LPCWSTR id, EndpointFormat *format);
