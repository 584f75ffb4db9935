// The DAC unplugged under the driver, the way WASAPI shows it: from then on every call on the
// stream's device fails, its stop included, so miniaudio posts no "stopped" notification. The
// driver hears it from the audio service (the simulated endpoint tells registered clients on a
// thread of its own) or sees the stream stop by itself; either way a host that claims
// kAsioResetRequest is asked once, start says the device went away, nothing hangs, and after the
// replug a host that resets plays every word again.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "driver_thread.h"
#include "live_status.h"
#include "machine.h"
#include "miniaudio_seam.h"
#include "sim/audio.h"
#include "stream_host.h"

namespace {

const wchar_t kEndpoint[] = L"{0.0.0.00000000}.{3c9e51d2-7a40-4b8e-b1f6-0d2a96c4e817}";
const long kFrames = 220;



class DeviceLossTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    seam::CaptureStreams();
    sim::AddAudioEndpoint({kEndpoint, sim::WaveFormat(48000, 2, 32), {44100, 48000}});
    seam::PlayOnEndpoint(kEndpoint);
  }

  static void Prepare(ASIOPelkor &driver, StreamHost &host) { PrepareStream(driver, host, 48000.0, kFrames); }

  // From the stream's first captured period on: silence until the first switch's period (which
  // plays the half not filled yet), then each switch's half one period later, every word in order.
  static void ExpectPlayedFrom(size_t firstPeriod, size_t firstSwitch, size_t switches) {
    std::vector<std::vector<ma_uint32>> periods = seam::CapturedPeriods();
    size_t firstWords = firstPeriod;
    while (firstWords < periods.size() &&
           periods[firstWords][0] != static_cast<ma_uint32>(StreamHost::Pattern(firstSwitch, 0, 0)))
      ++firstWords;
    ASSERT_LT(firstWords, periods.size());
    ASSERT_GT(firstWords, firstPeriod);
    for (size_t p = firstPeriod; p < firstWords; ++p)
      for (ma_uint32 word : periods[p]) ASSERT_EQ(0u, word);
    firstPeriod = firstWords - 1;
    ASSERT_GE(periods.size(), firstPeriod + switches);
    for (size_t k = 1; k < switches; ++k)
      for (long i = 0; i < kFrames; ++i)
        for (int c = 0; c < 2; ++c)
          ASSERT_EQ(static_cast<ma_uint32>(StreamHost::Pattern(firstSwitch + k - 1, c, i)),
                    periods[firstPeriod + k][2 * i + c])
              << "period " << k << " frame " << i;
  }
};

// WASAPI's worst case: the stream's thread waits for an event that never comes, and only the
// audio service's word can tell. Then the host does what JUCE does: releases the driver, makes a
// new one once the DAC is back, and plays.
TEST_F(DeviceLossTest, AnUnplugIsHeardFromTheAudioServiceWhileTheStreamHangs) {
  for (bool claims : {true, false}) {
    SCOPED_TRACE(claims);
    StreamHost host(true);
    if (claims) host.claims = {kAsioResetRequest};
    ASIOPelkor *driver = new ASIOPelkor(nullptr);
    driver->AddRef();
    Prepare(*driver, host);
    ASSERT_EQ(ASE_OK, StartQuietly(*driver));
    ASSERT_TRUE(host.WaitForSwitches(3));
    sim::UnplugEndpoint(kEndpoint);
    ASSERT_TRUE(WaitUntil([&] { return driver->StreamLost(); }));
    if (claims) {
      ASSERT_TRUE(host.WaitForMessage(kAsioResetRequest));
    }
    EXPECT_TRUE(Says(*driver, "went away")) << driver->ErrorText();
    // The live status says so too, though the stream thread never heard of it.
    EXPECT_TRUE(WaitUntil([] {
      DriverStatusRecord records[2];
      return ReadLiveStatuses(records, 2) == 1 && records[0].deviceLost == 1;
    }));
    // A start is no reset: the dead stream is closed and the host hears why.
    EXPECT_EQ(ASE_NotPresent, StartQuietly(*driver));
    EXPECT_TRUE(Says(*driver, "went away")) << driver->ErrorText();
    EXPECT_EQ(0, seam::OpenStreams());
    Pause(100);
    EXPECT_EQ(claims ? 1u : 0u, host.MessageCount(kAsioResetRequest));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(0u, driver->Release());
    EXPECT_EQ(0, LiveDriverThreads());
    EXPECT_EQ(0, sim::EndpointNotificationClients());

    sim::ReplugEndpoint(kEndpoint);
    ASIOPelkor again(nullptr);
    Prepare(again, host);
    size_t firstPeriod = seam::CapturedPeriods().size(), firstSwitch = host.SwitchCount();
    ASSERT_EQ(ASE_OK, StartQuietly(again));
    ASSERT_TRUE(host.WaitForSwitches(firstSwitch + 5));
    EXPECT_EQ(ASE_OK, again.stop());
    ExpectPlayedFrom(firstPeriod, firstSwitch, host.SwitchCount() - firstSwitch);
    EXPECT_EQ(claims ? 1u : 0u, host.MessageCount(kAsioResetRequest));
  }
}

// As under Wine: the write fails, miniaudio's loop ends and nobody says a word; the stream has
// left the started state by itself. The host resets on the same driver object.
TEST_F(DeviceLossTest, AStreamThatStopsWithoutAWordIsNoticed) {
  for (bool claims : {true, false}) {
    SCOPED_TRACE(claims);
    StreamHost host(false);
    if (claims) host.claims = {kAsioResetRequest};
    ASIOPelkor driver(nullptr);
    Prepare(driver, host);
    ASSERT_EQ(ASE_OK, StartQuietly(driver));
    ASSERT_TRUE(host.WaitForSwitches(3));
    ASSERT_TRUE(seam::InvalidateDevice(seam::DeviceLoss::kWriteFails));
    ASSERT_TRUE(WaitUntil([&] { return driver.StreamLost(); }));
    if (claims) {
      ASSERT_TRUE(host.WaitForMessage(kAsioResetRequest));
    }
    EXPECT_EQ(ASE_NotPresent, StartQuietly(driver));
    EXPECT_TRUE(Says(driver, "went away")) << driver.ErrorText();
    Pause(100);
    EXPECT_EQ(claims ? 1u : 0u, host.MessageCount(kAsioResetRequest));
    ASSERT_EQ(ASE_OK, driver.disposeBuffers());
    host.SetRecords(0, 1);
    ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, kFrames, &host.callbacks));
    size_t firstPeriod = seam::CapturedPeriods().size(), firstSwitch = host.SwitchCount();
    ASSERT_EQ(ASE_OK, StartQuietly(driver));
    EXPECT_STREQ("", driver.ErrorText());
    ASSERT_TRUE(host.WaitForSwitches(firstSwitch + 5));
    EXPECT_EQ(ASE_OK, driver.stop());
    ExpectPlayedFrom(firstPeriod, firstSwitch, host.SwitchCount() - firstSwitch);
  }
}

// A host that releases the driver inside the reset request, on the thread that sends it.
TEST_F(DeviceLossTest, AHostMayReleaseTheDriverInsideTheResetRequest) {
  int contextsBefore = seam::OpenContexts();
  StreamHost host(true);
  host.claims = {kAsioResetRequest};
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  driver->AddRef();
  Prepare(*driver, host);
  host.onReset = [&] {
    driver->stop();
    driver->disposeBuffers();
    EXPECT_EQ(0u, driver->Release());
  };
  ASSERT_EQ(ASE_OK, StartQuietly(*driver));
  ASSERT_TRUE(host.WaitForSwitches(3));
  sim::UnplugEndpoint(kEndpoint);
  ASSERT_TRUE(host.WaitForMessage(kAsioResetRequest));
  EXPECT_TRUE(WaitUntil([&] {
    return LiveDriverThreads() == 0 && seam::OpenStreams() == 0 && seam::OpenContexts() == contextsBefore;
  }));
}

// The awkward moments, each with its answer: start refuses with the reason and sends no reset
// request (nothing was playing), and plays once the DAC is back. The stream is opened, and the
// endpoint's format changed, by createBuffers.
TEST_F(DeviceLossTest, UnpluggedWhileNothingPlaysStartSaysTheDeviceIsNotThere) {
  enum Moment { kBeforeFirstStart, kWhileStopped, kWhileTheStreamOpens, kWhileTheFormatChanges };
  for (Moment moment : {kBeforeFirstStart, kWhileStopped, kWhileTheStreamOpens, kWhileTheFormatChanges}) {
    SCOPED_TRACE(moment);
    StreamHost host(true);
    host.claims = {kAsioResetRequest};
    ASIOPelkor driver(nullptr);
    std::vector<uint8_t> userFormat = sim::WaveFormat(48000, 2, 32, /* float */ true);
    if (moment == kWhileTheStreamOpens) {
      // Opened on the endpoint, and the plug goes before the stream starts.
      seam::DuringNextOpen([] {
        sim::UnplugEndpoint(kEndpoint);
        sim::WaitForEndpointNotifications();
      });
    } else if (moment == kWhileTheFormatChanges) {
      // The endpoint runs float, which createBuffers changes to the stream's format.
      sim::SetEndpointDefaultFormat(kEndpoint, userFormat);
      sim::UnplugDuringNextFormatChange(kEndpoint);
    }
    Prepare(driver, host);
    switch (moment) {
      case kBeforeFirstStart:
        sim::UnplugEndpoint(kEndpoint);
        break;
      case kWhileStopped:
        ASSERT_EQ(ASE_OK, StartQuietly(driver));
        ASSERT_TRUE(host.WaitForSwitches(2));
        ASSERT_EQ(ASE_OK, driver.stop());
        sim::UnplugEndpoint(kEndpoint);
        sim::WaitForEndpointNotifications();
        break;
      case kWhileTheStreamOpens:
      case kWhileTheFormatChanges:
        break;
    }
    EXPECT_EQ(ASE_NotPresent, StartQuietly(driver));
    EXPECT_TRUE(Says(driver, "not there")) << driver.ErrorText();
    EXPECT_EQ(0, seam::OpenStreams());
    if (moment == kWhileTheFormatChanges) {
      EXPECT_EQ(userFormat, sim::EndpointDefaultFormat(kEndpoint));
    }

    sim::ReplugEndpoint(kEndpoint);
    sim::WaitForEndpointNotifications();
    size_t switches = host.SwitchCount();
    ASSERT_EQ(ASE_OK, StartQuietly(driver));
    EXPECT_TRUE(host.WaitForSwitches(switches + 2));
    EXPECT_EQ(ASE_OK, driver.disposeBuffers());
    EXPECT_EQ(0u, host.MessageCount(kAsioResetRequest));
  }
}

}  // namespace
