// The engine on miniaudio's null backend: a real stream thread at the real period, driven the way
// hosts drive it, politely and not.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

#include "driver.h"
#include "driver_peer.h"
#include "identity.h"
#include "machine.h"
#include "miniaudio_seam.h"
#include "scoped_thread.h"
#include "sim/devices.h"
#include "sim/machine.h"
#include "sim/usb.h"
#include "stream.h"
#include "stream_format.h"
#include "stream_host.h"

namespace {

// 441 frames at 44100 Hz: a period of 10 ms.
const long kFrames = 441;


// The DAC's WinUSB interface, so that a DSD start has a device to send its request to.
void AddDac() {
  sim::DeviceInterface dac;
  dac.classGuid = {0x5E1A7C30, 0x2B94, 0x4D6E, {0x8F, 0x03, 0x91, 0xC4, 0xA7, 0xB2, 0xD6, 0x15}};
  dac.instanceId = L"USB\\VID_F1E5&PID_7A11\\A1";
  dac.devicePath = L"\\\\?\\usb#vid_f1e5&pid_7a11#a1#{5e1a7c30-2b94-4d6e-8f03-91c4a7b2d615}";
  sim::AddDeviceInterface(dac);
  // The prefix comes from the identity file by way of the class lookup.
  CLSID ignored;
  ASSERT_EQ(0, LoadClassIdentity(&ignored, DeviceIdPrefix));
}

UINT32 Played(bool dsd, INT32 word) {
  UINT32 w = static_cast<UINT32>(word);
  return dsd ? (w >> 24 | (w >> 8 & 0xFF00u) | (w << 8 & 0xFF0000u) | w << 24) : w;
}

class StreamEngineTest : public StreamTest {
 protected:
  // `size` as getBufferSize gives it; the host writes `words` 32-bit words per half.
  static void Prepare(ASIOPelkor &driver, StreamHost &host, long size = kFrames, long words = kFrames) {
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    host.SetRecords(0, 1);
    host.frames = words;
    ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, size, &host.callbacks));
  }
  // DSD64 at the size getBufferSize offers.
  static void PrepareDsd64(ASIOPelkor &driver, StreamHost &host) {
    SelectFormat(driver, kASIODSDFormat);
    ASSERT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
    long size = OfferedSize(driver);
    Prepare(driver, host, size, size / 32);
  }
};

TEST_F(StreamEngineTest, InitListsTheDevicesAndPicksTheOneNamedByTheDescription) {
  ASIOPelkor driver(nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ASIOTrue, driver.init(nullptr));
  EXPECT_EQ("0 - NULL Playback Device\n", testing::internal::GetCapturedStdout());
  ASSERT_EQ(1u, driver.PlaybackDeviceCount());
  EXPECT_EQ(0, driver.DeviceIndex());

  testsupport::WriteFileBytes(testsupport::ExecutableIdentityPath(), "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\n");
  EXPECT_EQ(2, InitQuietly(driver));
}

TEST_F(StreamEngineTest, SwitchesAlternateFromHalfZeroForAHostWithoutTimeInfo) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  Prepare(driver, host);
  ASSERT_EQ(ASE_OK, driver.start());
  EXPECT_TRUE(driver.Started());
  ASSERT_TRUE(host.WaitForSwitches(6));
  EXPECT_EQ(ASE_OK, driver.stop());
  EXPECT_FALSE(driver.Started());
  std::vector<SwitchRecord> switches = host.Switches();
  for (size_t i = 0; i < switches.size(); ++i) {
    ASSERT_FALSE(switches[i].withTimeInfo);
    ASSERT_EQ(static_cast<long>(i % 2), switches[i].index) << i;
  }
  // Stopped means stopped: no switch arrives afterwards.
  size_t count = host.SwitchCount();
  Pause(40);
  EXPECT_EQ(count, host.SwitchCount());
}

TEST_F(StreamEngineTest, TheStreamIsExclusive32BitStereoAtTheRateWithOneHalfPerPeriod) {
  sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"threads", 2);
  for (bool dsd : {false, true}) {
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    if (dsd) {
      SelectFormat(driver, kASIODSDFormat);
      ASSERT_EQ(ASE_OK, driver.setSampleRate(128 * 44100.0));
    }
    long size = OfferedSize(driver);
    Prepare(driver, host, size, dsd ? size / 32 : size);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ASE_OK, driver.start());
    testing::internal::GetCapturedStdout();
    const ma_device &stream = driver.PlaybackStream();
    EXPECT_EQ(ma_device_type_playback, stream.type);
    EXPECT_EQ(dsd ? DsdDataCallback : PcmDataCallback, stream.onData);
    EXPECT_EQ(&driver, stream.pUserData);
    EXPECT_EQ(ma_format_s32, stream.playback.format);
    EXPECT_EQ(2u, stream.playback.channels);
    EXPECT_EQ(ma_share_mode_exclusive, stream.playback.shareMode);
    EXPECT_EQ(dsd ? 176400u : 44100u, stream.sampleRate);
    EXPECT_EQ(static_cast<ma_uint32>(driver.BlockFrames()), stream.playback.internalPeriodSizeInFrames);
    EXPECT_EQ(2u, stream.playback.internalPeriods);
    EXPECT_FALSE(stream.noFixedSizedCallback);
    driver.stop();
  }
}

TEST_F(StreamEngineTest, TimeInfoCarriesPositionTimeCodeAndOneShotFlags) {
  sim::SetTimeGetTime(1000);
  StreamHost host(true);
  ASIOPelkor driver(nullptr);
  Prepare(driver, host);
  driver.future(kAsioEnableTimeCodeRead, nullptr);
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(3));
  // Raised while running, seen by exactly one block.
  size_t before = host.SwitchCount();
  driver.setClockSource(0);
  ASSERT_TRUE(host.WaitForSwitches(before + 3));
  driver.stop();

  std::vector<SwitchRecord> switches = host.Switches();
  int flagged = 0;
  for (size_t i = 0; i < switches.size(); ++i) {
    const SwitchRecord &s = switches[i];
    ASSERT_TRUE(s.withTimeInfo);
    EXPECT_EQ(static_cast<long>(i % 2), s.index);
    unsigned long position = static_cast<unsigned long>(kFrames) * (i + 1);
    EXPECT_EQ(position, s.positionLo) << i;
    EXPECT_EQ(0u, s.positionHi);
    EXPECT_EQ(0u, s.timeHi);
    EXPECT_EQ(1000000000u, s.timeLo);
    EXPECT_EQ(44100.0, s.sampleRate);
    EXPECT_EQ(600u * 44100u + position, s.timeCodeLo) << i;
    EXPECT_NE(0u, s.flags & kSamplePositionValid);
    if (s.flags & kClockSourceChanged) {
      ++flagged;
      EXPECT_GE(i, before);
    }
  }
  EXPECT_EQ(1, flagged);
}

// One switch per period the stream plays, counted against what the stream really played rather
// than the clock, so that a loaded machine changes nothing.
TEST_F(StreamEngineTest, SwitchCountAgreesWithThePeriod) {
  StreamHost host(true);
  ASIOPelkor driver(nullptr);
  seam::CaptureStreams();
  Prepare(driver, host);
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(20));
  driver.stop();
  std::vector<SwitchRecord> switches = host.Switches();
  std::vector<std::vector<ma_uint32>> periods = seam::CapturedPeriods();
  // Every switch's period was played, each of exactly one half; periods that run between the stop
  // and the stream's end play without a switch.
  EXPECT_GE(periods.size(), switches.size());
  for (const auto &period : periods) EXPECT_EQ(static_cast<size_t>(2 * kFrames), period.size());
  for (size_t i = 0; i < switches.size(); ++i)
    EXPECT_EQ((i + 1) * kFrames, switches[i].positionLo) << "switch " << i;
}

TEST_F(StreamEngineTest, SamplePositionSplitsAt2To32AndTakesNullTargets) {
  ASIOPelkor driver(nullptr);
  DriverTestPeer::SetPosition(driver, 4294967296.0 + 5.0, 7, 9);
  ASIOSamples position = {0xDEAD, 0xBEEF};
  ASIOTimeStamp stamp = {0xDEAD, 0xBEEF};
  EXPECT_EQ(ASE_OK, driver.getSamplePosition(&position, &stamp));
  EXPECT_EQ(1u, position.hi);
  EXPECT_EQ(5u, position.lo);
  EXPECT_EQ(7u, stamp.hi);
  EXPECT_EQ(9u, stamp.lo);
  DriverTestPeer::SetPosition(driver, 4294967295.0, 0, 0);
  driver.getSamplePosition(&position, nullptr);
  EXPECT_EQ(0u, position.hi);
  EXPECT_EQ(4294967295u, position.lo);
  EXPECT_EQ(ASE_OK, driver.getSamplePosition(nullptr, nullptr));
}

TEST_F(StreamEngineTest, NanosecondsSplitIntoTwoWords) {
  sim::SetTimeGetTime(0xFFFFFFFFu);
  ASIOTimeStamp stamp = {};
  GetNanoSeconds(&stamp);
  unsigned long long expected = 0xFFFFFFFFull * 1000000ull;
  EXPECT_EQ(static_cast<unsigned long>(expected >> 32), stamp.hi);
  EXPECT_EQ(static_cast<unsigned long>(expected & 0xFFFFFFFFu), stamp.lo);
}

TEST_F(StreamEngineTest, DsdSendsTheVendorRequestBetweenOpeningAndStarting) {
  AddDac();
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  PrepareDsd64(driver, host);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ASE_OK, driver.start());
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_STREQ("", driver.ErrorText());
  ASSERT_EQ(1u, sim::ControlTransfers().size()) << printed;
  EXPECT_EQ(0xF2, sim::ControlTransfers()[0].setupPacket[1]);
  ASSERT_TRUE(host.WaitForSwitches(2));
  driver.stop();
  // PCM sends nothing.
  SelectFormat(driver, kASIOPCMFormat);
  ASSERT_EQ(ASE_OK, driver.start());
  driver.stop();
  EXPECT_EQ(1u, sim::ControlTransfers().size());
}

// What reaches the device, period by period, on the real stream thread: the periods before start
// returns ask the host nothing and play silence (the DSD idle pattern in DSD mode); then the first
// switch asks for half 0 while its period plays half 1, silent; every later period plays what the
// host wrote one switch earlier. And again after a stop and a start.
TEST_F(StreamEngineTest, EveryPeriodPlaysTheHalfTheHostFilledOneSwitchEarlier) {
  for (bool dsd : {false, true}) {
    seam::Reset();
    seam::CaptureStreams();
    // The stream's first periods run before start returns, as they may on a loaded machine.
    seam::HoldAfterStart(30);
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    if (dsd) {
      SelectFormat(driver, kASIODSDFormat);
      ASSERT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
    }
    Prepare(driver, host, dsd ? kFrames * 32 : kFrames, kFrames);
    // A second start on the same buffers plays the same way: what the first run left in half 1
    // never reaches the device.
    for (int run = 0; run < 2; ++run) {
      size_t firstPeriod = seam::CapturedPeriods().size();
      size_t firstSwitch = host.SwitchCount();
      ASSERT_EQ(ASE_OK, driver.start());
      EXPECT_EQ(firstSwitch, host.SwitchCount()) << "the host was asked before start returned";
      EXPECT_LT(firstPeriod, seam::CapturedPeriods().size()) << "no period ran while start was held";
      ASSERT_TRUE(host.WaitForSwitches(firstSwitch + 6));
      driver.stop();
      std::vector<std::vector<ma_uint32>> periods = seam::CapturedPeriods();
      size_t switches = host.SwitchCount() - firstSwitch;
      const UINT32 silence = dsd ? static_cast<UINT32>(kDsdSilenceWord) : 0u;
      // The first switch's period is the one before the host's first words.
      size_t firstWords = firstPeriod;
      while (firstWords < periods.size() &&
             periods[firstWords][0] != Played(dsd, StreamHost::Pattern(firstSwitch, 0, 0)))
        ++firstWords;
      ASSERT_LT(firstWords, periods.size());
      ASSERT_GT(firstWords, firstPeriod);
      for (size_t k = firstPeriod; k < firstWords; ++k)
        for (ma_uint32 word : periods[k]) ASSERT_EQ(silence, word) << "dsd " << dsd << " run " << run << " period " << k;
      firstPeriod = firstWords - 1;
      // Periods may follow the last switch: between clearing `started` and the end of the stream
      // the stream thread runs on without the host, and plays silence.
      ASSERT_GE(periods.size() - firstPeriod, switches);
      for (size_t k = 1; k < switches; ++k) {
        const std::vector<ma_uint32> &period = periods[firstPeriod + k];
        ASSERT_EQ(static_cast<size_t>(kFrames) * 2, period.size());
        for (long i = 0; i < kFrames; ++i)
          for (int c = 0; c < 2; ++c)
            ASSERT_EQ(Played(dsd, StreamHost::Pattern(firstSwitch + k - 1, c, i)), period[2 * i + c])
                << "dsd " << dsd << " run " << run << " period " << k << " frame " << i << " channel " << c;
      }
      for (size_t k = firstPeriod + switches; k < periods.size(); ++k)
        for (ma_uint32 word : periods[k]) ASSERT_EQ(silence, word) << "dsd " << dsd << " run " << run << " after the stop";
    }
  }
}

// getLatencies after createBuffers: the frames from the host's write in a switch to the moment
// they reach the device. The stream part is counted in what the stream thread hands on (the
// period in which the host's words first appear); the device part is the buffer the stream
// really opened with, which here reads back 4 frames longer per period than asked, as WASAPI
// rounds it. createBuffers opens the stream, so the figure is right before start, and start
// changes nothing: a host that claims kAsioLatenciesChanged is never told of a change.
TEST_F(StreamEngineTest, TheLatencyCountsTheFramesFromAHostWriteToTheDevice) {
  for (ma_uint32 periodCount : {1u, 3u}) {
    SCOPED_TRACE(periodCount);
    bool claims = periodCount == 3;
    seam::Reset();
    seam::CaptureStreams();
    seam::ReportInternalPeriods(kFrames + 4, periodCount);
    sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"threads", periodCount);
    StreamHost host(false);
    if (claims) host.claims = {kAsioLatenciesChanged};
    ASIOPelkor driver(nullptr);
    long input = -1, output = -1;
    ASSERT_EQ(ASE_OK, driver.getLatencies(&input, &output));
    EXPECT_EQ(static_cast<long>(driver.PreferredFrames()), output) << "before buffers exist";
    int opened = seam::StreamsOpened();
    Prepare(driver, host);
    EXPECT_EQ(opened + 1, seam::StreamsOpened()) << "createBuffers opens the stream";
    ASSERT_EQ(ASE_OK, driver.getLatencies(&input, &output));
    long beforeStart = output;
    ASSERT_EQ(ASE_OK, driver.start());
    EXPECT_EQ(opened + 1, seam::StreamsOpened()) << "start opened another stream";
    ASSERT_TRUE(host.WaitForSwitches(6));
    long deviceFrames = static_cast<long>(driver.PlaybackStream().playback.internalPeriodSizeInFrames *
                                          driver.PlaybackStream().playback.internalPeriods);
    ASSERT_EQ(ASE_OK, driver.getLatencies(&input, &output));
    EXPECT_EQ(beforeStart, output);
    driver.stop();
    std::vector<std::vector<ma_uint32>> periods = seam::CapturedPeriods();
    size_t switchCount = host.Switches().size();
    // Periods that ran before start returned asked the host nothing: the first switch is the
    // period before its words.
    size_t firstSwitchPeriod = 0;
    while (firstSwitchPeriod < periods.size() &&
           periods[firstSwitchPeriod][0] != static_cast<ma_uint32>(StreamHost::Pattern(0, 0, 0)))
      ++firstSwitchPeriod;
    ASSERT_GT(firstSwitchPeriod, 0u);
    --firstSwitchPeriod;
    for (size_t k = 0; k + 1 < switchCount; ++k) {
      size_t p = 0;
      while (p < periods.size() && periods[p][0] != static_cast<ma_uint32>(StreamHost::Pattern(k, 0, 0))) ++p;
      ASSERT_LT(p, periods.size()) << "switch " << k << " never reached the stream";
      long streamFrames = static_cast<long>(p - firstSwitchPeriod - k) * kFrames;
      EXPECT_EQ(streamFrames + deviceFrames, output) << "switch " << k;
    }
    // Started again, on the same stream: nothing new to tell either.
    ASSERT_EQ(ASE_OK, driver.start());
    driver.stop();
    EXPECT_EQ(opened + 1, seam::StreamsOpened());
    EXPECT_EQ(0u, host.MessageCount(kAsioLatenciesChanged));
  }
}

// stop from one host thread while the stream thread is inside the host's switch: from the moment
// stop is called no switch begins, stop returns once the switch in progress has, and a restart
// after an odd number of switches asks for half 0 first.
TEST_F(StreamEngineTest, StopWaitsForTheSwitchInProgressAndNoneBeginsAfterIt) {
  StreamHost host(true);
  ASIOPelkor driver(nullptr);
  Prepare(driver, host);
  host.HoldSwitch(2);
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitUntilHeld());
  std::atomic<bool> stopped{false};
  ScopedThread stopper([&] {
    driver.stop();
    stopped = true;
  }, [&] { host.ReleaseHeld(); });
  bool stopping = false;
  for (int i = 0; i < 200 && !stopping; ++i) {
    Pause(10);
    stopping = !driver.Started();
  }
  Pause(30);
  EXPECT_TRUE(stopping) << "stop let the stream go on asking the host";
  EXPECT_FALSE(stopped) << "stop returned while a switch was still running";
  host.ReleaseHeld();
  stopper.join();
  Pause(30);
  EXPECT_EQ(3u, host.SwitchCount());

  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(5));
  driver.stop();
  std::vector<SwitchRecord> switches = host.Switches();
  EXPECT_EQ(0, switches[3].index);
  EXPECT_EQ(1, switches[4].index);
  EXPECT_EQ(static_cast<unsigned long>(kFrames), switches[3].positionLo);
}

// Where the opened stream is not what was asked for, and where it opens but will not start.
TEST_F(StreamEngineTest, WhatStartDoesWithTheStreamItOpened) {
  AddDac();
  {
    // PCM that Windows converts plays, and says so.
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    seam::ReportInternalFormat(ma_format_f32, 2, 48000);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    host.SetRecords(0, 1);
    host.frames = kFrames;
    // Said once, when createBuffers opens the stream.
    testing::internal::CaptureStdout();
    ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, kFrames, &host.callbacks));
    ASIOError result = driver.start();
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ASE_OK, result);
    const char kWarning[] =
        "Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 44100 Hz";
    EXPECT_STREQ(kWarning, driver.ErrorText());
    EXPECT_EQ(std::string(kWarning) + "\n", printed);
    EXPECT_TRUE(host.WaitForSwitches(2));
    driver.stop();
  }
  {
    // DSD that would be converted never plays, and the DAC is not switched.
    seam::Reset();
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    seam::ReportInternalFormat(ma_format_s32, 2, 44100);
    PrepareDsd64(driver, host);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ASE_NotPresent, driver.start());
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ("DSD needs the device's Windows Default Format at 32-bit, 88200 Hz; it is 32-bit, 44100 Hz, 2 ch",
                 driver.ErrorText());
    EXPECT_FALSE(driver.Started());
    EXPECT_EQ(0, seam::OpenStreams());
    EXPECT_TRUE(sim::ControlTransfers().empty());
    Pause(30);
    EXPECT_EQ(0u, host.SwitchCount());
  }
  {
    // A stream that opens but does not start is closed; the next start plays.
    seam::Reset();
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    Prepare(driver, host);
    seam::FailNextStart(MA_ERROR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ASE_NotPresent, driver.start());
    testing::internal::GetCapturedStdout();
    EXPECT_NE(nullptr, strstr(driver.ErrorText(), "could not be started")) << driver.ErrorText();
    EXPECT_FALSE(driver.Started());
    // Opening over a stream left open would hang in miniaudio: the test ends here instead.
    ASSERT_EQ(0, seam::OpenStreams());
    ASSERT_EQ(ASE_OK, driver.start());
    EXPECT_STREQ("", driver.ErrorText());
    EXPECT_TRUE(host.WaitForSwitches(2));
    driver.stop();
  }
}

TEST(StreamFormatGuard, EveryRow) {
  struct Row {
    bool dsd;
    ma_format format;
    ma_uint32 channels, rate;
    StreamFormatVerdict verdict;
  } rows[] = {
      {false, ma_format_s32, 2, 44100, kStreamUnconverted}, {false, ma_format_s24, 2, 44100, kStreamConverted},
      {false, ma_format_s16, 2, 44100, kStreamConverted},   {false, ma_format_f32, 2, 44100, kStreamConverted},
      {false, ma_format_s32, 2, 48000, kStreamConverted},   {false, ma_format_s32, 8, 44100, kStreamConverted},
      {true, ma_format_s32, 2, 88200, kStreamUnconverted},  {true, ma_format_s24, 2, 88200, kStreamRefused},
      {true, ma_format_f32, 2, 88200, kStreamRefused},      {true, ma_format_s32, 2, 96000, kStreamRefused},
      {true, ma_format_s32, 1, 88200, kStreamRefused},      {true, ma_format_s32, 6, 88200, kStreamRefused},
  };
  for (const Row &row : rows) {
    ma_uint32 requested = row.dsd ? 88200 : 44100;
    StreamFormat internal = {row.format, row.channels, row.rate};
    EXPECT_EQ(row.verdict, CheckStreamFormat(row.dsd, requested, internal))
        << row.dsd << " " << row.format << " " << row.channels << " " << row.rate;
  }
}

TEST(StreamFormatGuard, SaysWhatTheDeviceRunsAtAndWhatToChoose) {
  char text[kErrorMessageChars];
  DescribeStreamFormat(kStreamRefused, 88200, StreamFormat{ma_format_s24, 2, 48000}, text, sizeof(text));
  EXPECT_STREQ("DSD needs the device's Windows Default Format at 32-bit, 88200 Hz; it is 24-bit, 48000 Hz, 2 ch", text);
  DescribeStreamFormat(kStreamConverted, 44100, StreamFormat{ma_format_f32, 2, 48000}, text, sizeof(text));
  EXPECT_STREQ("Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 44100 Hz",
               text);
  DescribeStreamFormat(kStreamUnconverted, 44100, StreamFormat{ma_format_s32, 2, 44100}, text, sizeof(text));
  EXPECT_STREQ("", text);
  // The longest text still fits the host's buffer.
  DescribeStreamFormat(kStreamRefused, 4294967295u, StreamFormat{ma_format_f32, 4294967295u, 4294967295u}, text,
                       sizeof(text));
  EXPECT_LT(strlen(text), sizeof(text));
}

}  // namespace
