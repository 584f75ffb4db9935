// What the opened stream really runs at, against what the driver asked for.
//
// In exclusive mode on desktop Windows, miniaudio opens the endpoint in the endpoint's own
// "Default Format" (the one chosen under the device's Advanced properties), whatever format,
// channel count or rate the stream configuration asks for, and converts in software when they
// differ. The stream's internal format, channels and rate after ma_device_init say what the
// device really runs at.
#pragma once

#include <stddef.h>

#include <windows.h>

#include <miniaudio.h>

enum StreamFormatVerdict {
  kStreamUnconverted,  // the words reach the device as the host wrote them
  kStreamConverted,    // PCM that miniaudio converts: plays, but is not bit-perfect
  kStreamRefused,      // DSD that would be converted: it would reach the device as noise
};

struct StreamFormat {
  ma_format format;
  ma_uint32 channels;
  ma_uint32 sampleRate;
};

// "32-bit", "32-bit float", ... as the driver's texts name a sample format.
const char *SampleFormatName(ma_format format);

// The driver asks for 32-bit integer stereo at `requestedRate`.
StreamFormatVerdict CheckStreamFormat(bool dsd, ma_uint32 requestedRate, const StreamFormat &internal);

// A sentence for the host's error text and standard output saying what the verdict means and
// which Windows format to choose; empty for an unconverted stream. Always terminated, cut to
// `capacity`.
void DescribeStreamFormat(StreamFormatVerdict verdict, ma_uint32 requestedRate, const StreamFormat &internal,
                          char *text, size_t capacity);

// What start did about the endpoint's default format before it opened the stream.
enum FollowOutcome {
  kFollowNotTried,      // the setting is off, or the endpoint cannot be asked
  kFollowAlready,       // the default format already was the stream's
  kFollowChanged,       // the driver made the stream's format the default
  kFollowRefused,       // the endpoint does not take the stream's format for exclusive use
  kFollowNoPolicy,      // Windows has no policy object to set the format with (Wine)
  kFollowSetFailed,     // the policy object refused
  kFollowUnchanged,     // the policy object said yes, and the default format stayed
};

// For a stream that was converted or refused after the driver could not make the stream's format
// the endpoint's default: what went wrong and what the user can do, in place of
// DescribeStreamFormat's sentence. False (and `text` empty) for any other outcome or verdict, and
// where Windows has no way to switch the format at all (kFollowNoPolicy): there the driver says
// what a driver that never tries says, what the device runs at and what to choose in Sound settings.
bool DescribeFollowFailure(StreamFormatVerdict verdict, FollowOutcome outcome, HRESULT why, ma_uint32 requestedRate,
                           const StreamFormat &internal, char *text, size_t capacity);

// The period count the stream is opened with, from the "threads" setting: 1 to 16. The value
// comes from the registry, where anything can stand; miniaudio's backends multiply it into
// buffer sizes.
enum { kMaxStreamPeriods = 16 };
ma_uint32 StreamPeriodCount(ma_uint32 setting);

// Stream rates the driver opens: setSampleRate refuses what is below 44100 Hz, but the "samplerate"
// setting can hold anything, and a stream at a rate of 1 Hz would take minutes for one period.
// The top is DSD1024 in 32-bit words.
enum : ma_uint32 { kMinStreamRate = 8000, kMaxStreamRate = 1411200 };
bool StreamRateIsPlayable(ma_uint32 rate);
