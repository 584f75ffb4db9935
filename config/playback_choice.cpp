#include "playback_choice.h"

#include <wchar.h>

#include "device_choice.h"
#include "driver.h"
#include "identity.h"

PlaybackChoice ChoosePlaybackDevice(const WCHAR *driverModulePath, const ma_device_info *devices, ma_uint32 count,
                                    LPOLESTR *description) {
  PlaybackChoice choice = {false, -1, count > 0 ? 0 : -1};
  *description = nullptr;
  CLSID classId;
  LPOLESTR driverName = nullptr;
  if (LoadIdentityAt(driverModulePath, &classId, description, &driverName) != 0) return choice;
  CoTaskMemFree(driverName);
  choice.identityRead = true;
  choice.matched = FindPlaybackDevice(devices, count, *description, /* list */ false);
  if (choice.matched >= 0) choice.playedOn = choice.matched;
  return choice;
}

void DescribePlaybackChoice(const PlaybackChoice &choice, const WCHAR *description, const WCHAR *playedOnName,
                            WCHAR *text, size_t textChars) {
  if (!choice.identityRead) {
    swprintf(text, textChars,
             L"The identity file asio.dll.ini beside this program cannot be read, so hosts cannot start the "
             L"driver. Reinstall the driver.");
  } else if (choice.playedOn < 0) {
    swprintf(text, textChars,
             L"Windows lists no playback device. Connect the DAC and switch it on, then open this program again.");
  } else if (choice.matched >= 0) {
    swprintf(text, textChars, L"The driver plays on \"%ls\" (marked), the device whose name contains \"%ls\".",
             playedOnName, description);
  } else {
    swprintf(text, textChars,
             L"No playback device's name contains \"%ls\": the DAC is not connected or not installed. The driver "
             L"would play on the first device, \"%ls\".",
             description, playedOnName);
  }
}

FormatVerdict JudgeEndpointFormat(const EndpointFormat &format, WCHAR *text, size_t textChars, WCHAR *advice,
                                  size_t adviceChars) {
  advice[0] = L'\0';
  if (!format.known) {
    swprintf(text, textChars, L"Windows reports no default format for this device.");
    return FormatVerdict::kUnknown;
  }
  WORD valid = format.validBits ? format.validBits : format.containerBits;
  if (valid == format.containerBits)
    swprintf(text, textChars, L"Windows default format: %lu Hz, %u-bit%ls, %u channels.",
             static_cast<unsigned long>(format.sampleRate), format.containerBits, format.isFloat ? L" float" : L"",
             format.channels);
  else
    swprintf(text, textChars, L"Windows default format: %lu Hz, %u-bit in %u-bit words%ls, %u channels.",
             static_cast<unsigned long>(format.sampleRate), valid, format.containerBits,
             format.isFloat ? L" float" : L"", format.channels);

  bool wordsPassUnchanged = format.containerBits == 32 && valid == 32 && !format.isFloat;
  if (wordsPassUnchanged && format.channels == 2 && format.exclusiveAccepted) {
    // The stream resamples whatever the host plays at any other rate.
    swprintf(advice, adviceChars,
             L"Good for bit-perfect playback at %lu Hz. For another rate, or 88200 Hz for DSD64, choose it as "
             L"Default Format in the device's Properties, Advanced tab, in Sound settings.",
             static_cast<unsigned long>(format.sampleRate));
    return FormatVerdict::kBitPerfect;
  }

  if (!format.exclusiveAccepted)
    swprintf(advice, adviceChars,
             L"Windows does not accept this format for exclusive use, so the driver cannot start. In Sound "
             L"settings, open the device's Properties, Advanced tab: allow applications to take exclusive control "
             L"and choose \"2 channel, 32 bit\" as Default Format.");
  else
    swprintf(advice, adviceChars,
             L"Bit-perfect PCM and native DSD need 32-bit, 2 channels: this format makes the stream convert "
             L"samples. In Sound settings, open the device's Properties, Advanced tab, and choose \"2 channel, 32 "
             L"bit\" as Default Format.");
  return FormatVerdict::kConverted;
}

namespace {

// "32-bit float, 48000 Hz, 2 ch", as the driver's own messages name a format.
void NameFormat(const FormatBytes &bytes, WCHAR *text, size_t textChars) {
  EndpointFormat format;
  if (!ParseWaveFormat(bytes.bytes, bytes.size, &format)) {
    swprintf(text, textChars, L"an unknown format");
    return;
  }
  WORD valid = format.validBits ? format.validBits : format.containerBits;
  if (valid == format.containerBits)
    swprintf(text, textChars, L"%u-bit%ls, %lu Hz, %u ch", format.containerBits, format.isFloat ? L" float" : L"",
             static_cast<unsigned long>(format.sampleRate), format.channels);
  else
    swprintf(text, textChars, L"%u-bit in %u-bit words%ls, %lu Hz, %u ch", valid, format.containerBits,
             format.isFloat ? L" float" : L"", static_cast<unsigned long>(format.sampleRate), format.channels);
}

}  // namespace

ReplacedNotice DescribeReplacedFormat(const FormatRecordView &record, WCHAR *text, size_t textChars) {
  text[0] = L'\0';
  if (!record.exists) return ReplacedNotice::kNone;
  WCHAR user[64], set[64];
  NameFormat(record.user, user, _countof(user));
  NameFormat(record.set, set, _countof(set));
  if (record.held) {
    swprintf(text, textChars,
             L"The driver replaced your Windows format, %ls, with %ls; yours goes back when the last "
             L"host closes the driver.",
             user, set);
    return ReplacedNotice::kHeld;
  }
  swprintf(text, textChars,
           L"The driver replaced your Windows format, %ls, with %ls, and no host holds the driver any more. Put "
           L"back restores yours now.",
           user, set);
  return ReplacedNotice::kLeft;
}

void DescribeBufferSizes(DWORD latencyMs, WCHAR *text, size_t textChars) {
  // DSD64 is set as 64 × 44100 one-bit samples per second; the stream carries them as 32-bit
  // words, and the host's buffer size counts the one-bit samples.
  const ULONG kDsd64Rate = 64 * 44100;
  const ULONG kDsdBitsPerWord = 32;
  ULONG atCd = ComputePreferredFrames(latencyMs, 44100);
  ULONG atDvd = ComputePreferredFrames(latencyMs, 48000);
  ULONG dsdWords = ComputePreferredFrames(latencyMs, kDsd64Rate / kDsdBitsPerWord);
  swprintf(text, textChars,
           L"Buffer size: %lu frames at 44100 Hz, %lu at 48000 Hz; in DSD64 %lu one-bit samples (%lu words).",
           static_cast<unsigned long>(atCd), static_cast<unsigned long>(atDvd),
           static_cast<unsigned long>(dsdWords * kDsdBitsPerWord), static_cast<unsigned long>(dsdWords));
}
