#include "stream_format.h"

#include <stdio.h>

namespace {

const ma_uint32 kStreamChannels = 2;

}  // namespace

const char *SampleFormatName(ma_format format) {
  switch (format) {
    case ma_format_u8:
      return "8-bit";
    case ma_format_s16:
      return "16-bit";
    case ma_format_s24:
      return "24-bit";
    case ma_format_s32:
      return "32-bit";
    case ma_format_f32:
      return "32-bit float";
    default:
      return "unknown-format";
  }
}

StreamFormatVerdict CheckStreamFormat(bool dsd, ma_uint32 requestedRate, const StreamFormat &internal) {
  bool unconverted = internal.format == ma_format_s32 && internal.channels == kStreamChannels &&
                     internal.sampleRate == requestedRate;
  if (unconverted) return kStreamUnconverted;
  // One-bit data run through a resampler or a format converter is no longer DSD: it would reach
  // the device, switched to native DSD, as full-scale noise.
  return dsd ? kStreamRefused : kStreamConverted;
}

void DescribeStreamFormat(StreamFormatVerdict verdict, ma_uint32 requestedRate, const StreamFormat &internal,
                          char *text, size_t capacity) {
  if (!text || capacity == 0) return;
  text[0] = '\0';
  unsigned rate = static_cast<unsigned>(requestedRate);
  unsigned nowRate = static_cast<unsigned>(internal.sampleRate);
  unsigned nowChannels = static_cast<unsigned>(internal.channels);
  const char *nowFormat = SampleFormatName(internal.format);
  if (verdict == kStreamRefused)
    snprintf(text, capacity, "DSD needs the device's Windows Default Format at 32-bit, %u Hz; it is %s, %u Hz, %u ch",
             rate, nowFormat, nowRate, nowChannels);
  else if (verdict == kStreamConverted)
    snprintf(text, capacity, "Not bit-perfect: Windows runs the device at %s, %u Hz, %u ch; choose 32-bit, %u Hz",
             nowFormat, nowRate, nowChannels, rate);
}

bool DescribeFollowFailure(StreamFormatVerdict verdict, FollowOutcome outcome, HRESULT why, ma_uint32 requestedRate,
                           const StreamFormat &internal, char *text, size_t capacity) {
  if (!text || capacity == 0) return false;
  text[0] = '\0';
  if (verdict == kStreamUnconverted) return false;
  const char *what = verdict == kStreamRefused ? "DSD cannot play" : "Not bit-perfect";
  unsigned rate = static_cast<unsigned>(requestedRate);
  unsigned nowRate = static_cast<unsigned>(internal.sampleRate);
  const char *nowFormat = SampleFormatName(internal.format);
  switch (outcome) {
    case kFollowRefused:
      snprintf(text, capacity, "%s: the device refuses exclusive 32-bit, %u Hz; it runs at %s, %u Hz. Play another rate",
               what, rate, nowFormat, nowRate);
      return true;
    case kFollowSetFailed:
      snprintf(text, capacity, "%s: Windows refused to switch the device to 32-bit, %u Hz (0x%08lX); set it in Sound settings",
               what, rate, static_cast<unsigned long>(static_cast<ULONG>(why)));
      return true;
    case kFollowUnchanged:
      snprintf(text, capacity, "%s: the device stayed at %s, %u Hz when set to 32-bit, %u Hz; set it in Sound settings", what,
               nowFormat, nowRate, rate);
      return true;
    default:
      return false;
  }
}

ma_uint32 StreamPeriodCount(ma_uint32 setting) {
  if (setting < 1) return 1;
  const ma_uint32 most = kMaxStreamPeriods;
  return setting > most ? most : setting;
}

bool StreamRateIsPlayable(ma_uint32 rate) { return rate >= kMinStreamRate && rate <= kMaxStreamRate; }
