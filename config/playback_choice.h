// Which playback device the driver will play on, and what Windows' default format for it means
// for bit-perfect PCM and native DSD. The window only shows the sentences made here.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <stddef.h>

#include <miniaudio.h>

#include "endpoint_format.h"
#include "format_record.h"

struct PlaybackChoice {
  bool identityRead;  // the identity file beside the driver gave a description
  LONG matched;       // the device whose name contains the description, or -1
  LONG playedOn;      // what the driver's init settles on: the match, else the first device, else -1
};

// The choice the driver's init makes among `devices`, with the description taken from the
// identity file of the driver module at `driverModulePath` (the driver need not be loaded).
// The description goes to *description (task memory, the caller frees it; null when unread).
PlaybackChoice ChoosePlaybackDevice(const WCHAR *driverModulePath, const ma_device_info *devices, ma_uint32 count,
                                    LPOLESTR *description);

// The sentence under the device list: which device is played on, and why.
void DescribePlaybackChoice(const PlaybackChoice &choice, const WCHAR *description, const WCHAR *playedOnName,
                            WCHAR *text, size_t textChars);

enum class FormatVerdict {
  kUnknown,     // nothing to judge: no device, or no format reported
  kBitPerfect,  // 32-bit integer, 2 channels, accepted for exclusive use
  kConverted,   // the stream would be converted, or not open at all
};

// `text` says what the format is; `advice` says what to change in Windows' sound settings
// (for a good format, how to play another rate without resampling; empty when nothing is known).
FormatVerdict JudgeEndpointFormat(const EndpointFormat &format, WCHAR *text, size_t textChars, WCHAR *advice,
                                  size_t adviceChars);

enum class ReplacedNotice {
  kNone,  // no record: nothing to say
  kHeld,  // a host still holds the driver's format; it goes back when the last one closes
  kLeft,  // no host holds it (the restore failed, or a host went without closing): it may go back now
};
// The sentence under the device's format while the driver's record of a replaced format exists:
// which format the driver replaced with which, and when the user's comes back.
ReplacedNotice DescribeReplacedFormat(const FormatRecordView &record, WCHAR *text, size_t textChars);

// The sentence beside the latency: the buffer sizes the driver reports for `latencyMs` at 44100
// Hz (its size at construction), at 48000 Hz and in DSD64, as ComputePreferredFrames makes them.
void DescribeBufferSizes(DWORD latencyMs, WCHAR *text, size_t textChars);
