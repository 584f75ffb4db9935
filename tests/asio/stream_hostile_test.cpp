// Hosts as they are: every stream method out of order, twice, and while the stream runs, and the
// open sequences of widely used host frameworks. Nothing may crash, leak (the fixture counts
// blocks, handles and task memory) or race (the thread sanitizer watches).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "driver.h"
#include "driver_peer.h"
#include "driver_thread.h"
#include "exports.h"
#include "machine.h"
#include "miniaudio_seam.h"
#include "scoped_thread.h"
#include "sim/machine.h"
#include "sim/threads.h"
#include "stream_format.h"
#include "stream_host.h"

namespace {

const long kFrames = 220;


class HostileHostTest : public StreamTest {
 protected:
  // Also while a stream runs: the host takes the new size only once createBuffers has stopped
  // the stream that plays the old blocks.
  static ASIOError Create(ASIOPelkor &driver, StreamHost &host, long frames = kFrames) {
    host.SetRecords(0, 1);
    ASIOError result = driver.createBuffers(host.infos, 2, frames, &host.callbacks);
    host.frames = frames;
    return result;
  }
  // init, buffers, start, and the first two switches.
  static void Run(ASIOPelkor &driver, StreamHost &host) {
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, Create(driver, host));
    ASSERT_EQ(ASE_OK, driver.start());
    ASSERT_TRUE(host.WaitForSwitches(2));
  }
};

TEST_F(HostileHostTest, StreamMethodsOutOfOrderAndTwice) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.stop());
  EXPECT_EQ(ASE_OK, driver.disposeBuffers());
  EXPECT_EQ(ASE_NotPresent, driver.start());
  EXPECT_STRNE("", driver.ErrorText());
  // Buffers before init: they exist, but there is no audio system to play them on.
  ASSERT_EQ(ASE_OK, Create(driver, host));
  testing::internal::CaptureStdout();
  EXPECT_EQ(ASE_NotPresent, driver.start());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(driver.Started());
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  ASSERT_EQ(ASE_OK, driver.start());
  EXPECT_STREQ("", driver.ErrorText());
  // A second start leaves the running stream as it is.
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(3));
  EXPECT_EQ(ASE_OK, driver.stop());
  EXPECT_EQ(ASE_OK, driver.stop());
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(host.SwitchCount() + 2));
  EXPECT_EQ(ASE_OK, driver.disposeBuffers());
  EXPECT_FALSE(driver.Started());
  EXPECT_EQ(ASE_OK, driver.disposeBuffers());
  EXPECT_EQ(ASE_NotPresent, driver.start());
}

TEST_F(HostileHostTest, InitWhileRunningClosesTheStreamFirst) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  Run(driver, host);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  EXPECT_FALSE(driver.Started());
  size_t count = host.SwitchCount();
  Pause(30);
  EXPECT_EQ(count, host.SwitchCount());
  // The buffers are still there and play on the new context.
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(count + 2));
}

TEST_F(HostileHostTest, CreateBuffersWhileRunningStopsAndReplaces) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  Run(driver, host);
  // The host's records stay as they are: the stream thread's switches still read them.
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, 2 * kFrames, &host.callbacks));
  host.frames = 2 * kFrames;
  EXPECT_FALSE(driver.Started());
  EXPECT_EQ(2, sim::LiveAlignedBlocks());
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(host.SwitchCount() + 2));
}

TEST_F(HostileHostTest, SamplePositionFromAnotherThreadIsNeverTornOrMixed) {
  // Every block reads the clock once, so block k carries time stamp k ms: a position and a time
  // stamp from the same block satisfy position == k * frames.
  sim::CountTimeGetTime(1);
  StreamHost host(true);
  ASIOPelkor driver(nullptr);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  ASSERT_EQ(ASE_OK, Create(driver, host, 64));
  ASSERT_EQ(ASE_OK, driver.start());
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0}, reads{0};
  ScopedThread reader([&] {
    while (!done) {
      ASIOSamples position;
      ASIOTimeStamp stamp;
      driver.getSamplePosition(&position, &stamp);
      unsigned long long ns = (static_cast<unsigned long long>(stamp.hi) << 32) | stamp.lo;
      unsigned long long block = ns / 1000000ull;
      if (static_cast<unsigned long long>(position.lo) != block * 64ull) ++mismatches;
      ++reads;
    }
  }, [&] { done = true; });
  ASSERT_TRUE(host.WaitForSwitches(40));
  done = true;
  reader.join();
  driver.stop();
  EXPECT_EQ(0, mismatches.load()) << "of " << reads.load() << " reads";
  EXPECT_GT(reads.load(), 0);
}

TEST_F(HostileHostTest, SetSampleRateWhileRunningReachesTheHostOnceAndTouchesNoBlock) {
  StreamHost host(true);
  ASIOPelkor driver(nullptr);
  Run(driver, host);
  size_t before = host.SwitchCount();
  ASSERT_EQ(ASE_OK, driver.setSampleRate(96000.0));
  ASSERT_EQ(1u, host.rateChanges.size());
  EXPECT_EQ(96000.0, host.rateChanges[0]);
  ASSERT_TRUE(host.WaitForSwitches(before + 3));
  driver.stop();
  int flagged = 0;
  for (const SwitchRecord &s : host.Switches()) {
    if (s.flags & kSampleRateChanged) ++flagged;
    // The running stream still runs at the rate it was opened at.
    EXPECT_EQ(44100.0, s.sampleRate);
  }
  EXPECT_EQ(1, flagged);

  // Started again without new buffers: the new rate, with the halves the host was given.
  before = host.SwitchCount();
  ASSERT_EQ(ASE_OK, driver.start());
  EXPECT_EQ(96000u, driver.PlaybackStream().sampleRate);
  EXPECT_EQ(static_cast<ma_uint32>(kFrames), driver.PlaybackStream().playback.internalPeriodSizeInFrames);
  ASSERT_TRUE(host.WaitForSwitches(before + 2));
  driver.stop();
  std::vector<SwitchRecord> switches = host.Switches();
  EXPECT_EQ(96000.0, switches[before].sampleRate);
  EXPECT_EQ(static_cast<unsigned long>(kFrames), switches[before].positionLo);
}

TEST_F(HostileHostTest, DisposeAndDestructionWhileRunning) {
  {
    StreamHost host(false);
    ASIOPelkor driver(nullptr);
    Run(driver, host);
    EXPECT_EQ(ASE_OK, driver.disposeBuffers());
    size_t count = host.SwitchCount();
    Pause(30);
    EXPECT_EQ(count, host.SwitchCount());
    EXPECT_EQ(0, sim::LiveAlignedBlocks());
  }
  StreamHost host(false);
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  Run(*driver, host);
  delete driver;
  EXPECT_EQ(0, sim::LiveAlignedBlocks());
}

TEST_F(HostileHostTest, AnEmptyDeviceListOpensTheDefaultDevice) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  DriverTestPeer::ForgetDevices(driver);
  ASSERT_EQ(ASE_OK, Create(driver, host));
  ASSERT_EQ(ASE_OK, driver.start());
  ASSERT_TRUE(host.WaitForSwitches(2));
  EXPECT_EQ(nullptr, seam::LastStreamConfig().playback.pDeviceID);
  // Not rerouted behind the driver's back by miniaudio's own thread: a lost device is the driver's.
  EXPECT_TRUE(seam::LastStreamConfig().wasapi.noAutoStreamRouting);
}

TEST_F(HostileHostTest, SettingsFromAHostileRegistryStillOpenOrRefuseCleanly) {
  EXPECT_EQ(1u, StreamPeriodCount(0));
  EXPECT_EQ(3u, StreamPeriodCount(3));
  EXPECT_EQ(static_cast<ma_uint32>(kMaxStreamPeriods), StreamPeriodCount(0xFFFFFFFFu));
  struct Case {
    DWORD rate;
    bool plays;
  } cases[] = {{0, false}, {1, false}, {7999, false}, {22050, true}, {1411201, false}, {0xFFFFFFFFu, false}};
  for (const Case &c : cases) {
    sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"threads", 0xFFFFFFFFu);
    sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"samplerate", c.rate);
    StreamHost host(true);
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, Create(driver, host));
    testing::internal::CaptureStdout();
    ASIOError result = driver.start();
    std::string printed = testing::internal::GetCapturedStdout();
    if (c.plays) {
      EXPECT_EQ(ASE_OK, result) << c.rate << ": " << printed;
      EXPECT_TRUE(host.WaitForSwitches(2)) << c.rate;
    } else {
      EXPECT_EQ(ASE_NotPresent, result) << c.rate;
      EXPECT_FALSE(driver.Started()) << c.rate;
      EXPECT_NE(nullptr, strstr(driver.ErrorText(), "cannot be played")) << c.rate;
    }
    EXPECT_EQ(ASE_OK, driver.stop());
  }
}

// A widely used framework opens a trial stream, stops it, changes the rate with the trial buffers
// still there, and only then disposes and creates the real ones.
// The thread's apartment as CoGetApartmentType reads it: APTTYPE_CURRENT when the thread itself
// is not initialised (implicitly multithreaded or not at all).
APTTYPE OwnApartment() {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  if (FAILED(CoGetApartmentType(&type, &qualifier)) || qualifier != APTTYPEQUALIFIER_NONE) return APTTYPE_CURRENT;
  return type;
}

// A framework's trial open, then the real one with a rate change while the trial buffers exist,
// then stop, start and a start that fails, on a host thread in either apartment: every call plays
// as it should and leaves the thread's apartment, and its count of initialisations, as the host
// made them.
TEST_F(HostileHostTest, TrialOpenThenRealOpensLeaveTheHostsApartmentAsItWas) {
  for (DWORD model : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
    SCOPED_TRACE(model == COINIT_APARTMENTTHREADED ? "single-threaded host" : "multithreaded host");
    ScopedThread hostThread([model] {
      const APTTYPE apartment = model == COINIT_APARTMENTTHREADED ? APTTYPE_STA : APTTYPE_MTA;
      ASSERT_EQ(S_OK, CoInitializeEx(nullptr, model));
      {
        StreamHost host(true);
        ASIOPelkor *driver = new ASIOPelkor(nullptr);
        driver->AddRef();
        auto same = [apartment](const char *after) { EXPECT_EQ(apartment, OwnApartment()) << "after " << after; };
        ASSERT_EQ(ASIOTrue, InitQuietly(*driver));
        same("init");
        ASIOSampleRate rate = 0;
        ASSERT_EQ(ASE_OK, driver->getSampleRate(&rate));
        EXPECT_EQ(ASE_OK, driver->canSampleRate(rate));
        same("canSampleRate");
        ASSERT_EQ(ASE_OK, Create(*driver, host));
        ASSERT_EQ(ASE_OK, driver->start());
        same("start");
        Pause(80);
        ASSERT_EQ(ASE_OK, driver->stop());
        same("stop");
        ASSERT_EQ(ASE_OK, driver->setSampleRate(48000.0));
        ASSERT_EQ(ASE_OK, driver->disposeBuffers());
        same("disposeBuffers");
        long size = 0, unused = 0;
        ASSERT_EQ(ASE_OK, driver->getBufferSize(&unused, &unused, &size, &unused));
        ASSERT_EQ(ASE_OK, Create(*driver, host, size));
        ASIOChannelInfo info = {};
        ASSERT_EQ(ASE_OK, driver->getChannelInfo(&info));
        EXPECT_EQ(ASIOTrue, info.isActive);
        for (int open = 0; open < 2; ++open) {
          size_t before = host.SwitchCount();
          ASSERT_EQ(ASE_OK, driver->start());
          ASSERT_TRUE(host.WaitForSwitches(before + 3)) << "open " << open;
          driver->stop();
          same("start and stop");
          std::vector<SwitchRecord> switches = host.Switches();
          EXPECT_EQ(48000.0, switches.back().sampleRate);
          EXPECT_EQ(static_cast<unsigned long>(size) * (switches.size() - before), switches.back().positionLo);
        }
        seam::FailNextStart(MA_ERROR);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ASE_NotPresent, driver->start());
        testing::internal::GetCapturedStdout();
        same("a failed start");
        EXPECT_EQ(0u, driver->Release());
        same("Release");
      }
      // The host's one initialisation is the only one left.
      CoUninitialize();
      EXPECT_EQ(APTTYPE_CURRENT, OwnApartment());
    });
  }
}

}  // namespace

// Some hosts stop, or let go of the driver altogether, from inside their own switch when their
// processing fails. The call must return at once, no later switch may reach the host, the stream
// must end (on some other thread) and the driver must go on as after a normal stop.
TEST_F(HostileHostTest, StopDisposeOrReleaseFromInsideTheSwitchReturnPromptly) {
  enum Act { kStop, kDispose, kRelease };
  for (Act act : {kStop, kDispose, kRelease}) {
    SCOPED_TRACE(act);
    int contextsBefore = seam::OpenContexts();
    StreamHost host(/* timeInfo */ act != kStop);
    ASIOPelkor *driver = new ASIOPelkor(nullptr);
    driver->AddRef();
    // A stop or dispose in the very first switch, which comes as soon as start has returned (start is
    // held here after the stream started, so that periods are waiting); a release a few switches on.
    size_t serial = 0;
    if (act == kRelease) {
      Run(*driver, host);
      serial = host.SwitchCount() + 1;
    } else {
      ASSERT_EQ(ASIOTrue, InitQuietly(*driver));
      ASSERT_EQ(ASE_OK, Create(*driver, host));
      seam::HoldAfterStart(50);
    }
    // The stream cannot be closed before this callback returns: a call that closed it here, or
    // waited for its close, would never return. So the stream is still open when the call returns.
    std::atomic<int> openAfterCall{-1};
    std::atomic<LONG> moduleReferences{-1};
    host.ActInSwitch(serial, [&] {
      if (act == kStop) {
        EXPECT_EQ(ASE_OK, driver->stop());
      } else if (act == kDispose) {
        EXPECT_EQ(ASE_OK, driver->disposeBuffers());
      } else {
        EXPECT_EQ(0u, driver->Release());
      }
      openAfterCall = seam::OpenStreams();
      moduleReferences = sim::ModuleReferences(GetModuleHandleW(nullptr));
    });
    if (act != kRelease) {
      EXPECT_EQ(ASE_OK, driver->start());
      seam::HoldAfterStart(0);
    }
    ASSERT_TRUE(host.WaitForAct()) << "the call from inside the switch never returned";
    EXPECT_EQ(1, openAfterCall.load());
    // The threads that close the stream (and, after a release, everything else) run code of the
    // module after the host may have let it go: each holds the module until it has ended.
    EXPECT_GE(moduleReferences.load(), act == kRelease ? 3 : 2);
    size_t switches = host.SwitchCount();
    EXPECT_TRUE(WaitUntil([] { return seam::OpenStreams() == 0; })) << "the stream given up was never closed";
    EXPECT_EQ(switches, host.SwitchCount()) << "the host was asked again after it gave up";
    if (act == kRelease) {
      EXPECT_TRUE(WaitUntil([&] { return seam::OpenContexts() == contextsBefore; }))
          << "the released driver's context lives on";
      // A driver thread gives its module reference back as its very last step.
      EXPECT_TRUE(WaitUntil([] {
        return LiveDriverThreads() == 0 && sim::ModuleReferences(GetModuleHandleW(nullptr)) == 0;
      })) << "a thread kept the module";
      EXPECT_EQ(S_OK, DllCanUnloadNow());
      continue;
    }
    EXPECT_FALSE(driver->Started());
    EXPECT_EQ(ASE_OK, driver->stop());
    if (act == kDispose) {
      ASSERT_EQ(ASE_OK, Create(*driver, host));
    }
    // Later calls behave as after a normal stop: it plays again.
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(host.WaitForSwitches(switches + 2));
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(0u, driver->Release());
    EXPECT_EQ(contextsBefore, seam::OpenContexts());
  }
}

// The endpoint goes away while the driver plays (miniaudio stops the stream by itself): a host
// that claims kAsioResetRequest is asked once to reset, one that does not is never sent it, and the
// driver reopens cleanly when the host starts again.
TEST_F(HostileHostTest, ADeviceLostUnderTheDriverAsksOnlyAClaimingHostToReset) {
  for (bool claims : {true, false}) {
    SCOPED_TRACE(claims);
    StreamHost host(true);
    if (claims) host.claims = {kAsioResetRequest};
    ASIOPelkor driver(nullptr);
    Run(driver, host);
    ASSERT_TRUE(seam::StopStreamUnderDriver());
    for (int i = 0; i < 500 && !driver.StreamLost(); ++i) Pause(10);
    ASSERT_TRUE(driver.StreamLost());
    char text[124] = "";
    driver.getErrorMessage(text);
    EXPECT_NE(nullptr, strstr(text, "went away")) << text;
    size_t switches = host.SwitchCount();
    // stop closes the dead stream, and miniaudio's thread with it: its notification is over.
    EXPECT_EQ(ASE_OK, driver.stop());
    EXPECT_EQ(0, seam::OpenStreams());
    EXPECT_EQ(claims ? 1u : 0u, host.MessageCount(kAsioResetRequest));
    EXPECT_EQ(switches, host.SwitchCount());
    // The host resets: buffers again and start; the device is back and plays.
    ASSERT_EQ(ASE_OK, driver.disposeBuffers());
    ASSERT_EQ(ASE_OK, Create(driver, host));
    ASSERT_EQ(ASE_OK, driver.start());
    EXPECT_TRUE(host.WaitForSwitches(switches + 2));
    EXPECT_FALSE(driver.StreamLost());
    // A stop the driver asks for is no loss.
    EXPECT_EQ(ASE_OK, driver.stop());
    EXPECT_EQ(claims ? 1u : 0u, host.MessageCount(kAsioResetRequest));
    // Lost again and released straight away: nothing stays open.
    ASSERT_EQ(ASE_OK, driver.start());
    ASSERT_TRUE(host.WaitForSwitches(host.SwitchCount() + 1));
    ASSERT_TRUE(seam::StopStreamUnderDriver());
  }
}

// A host thread stops while the host, inside the switch under way, stops too (a host whose
// processing failed): whoever takes the stream first closes it, the other finds nothing to close,
// and the stream is closed exactly once (the seam's count would go below zero otherwise).
TEST_F(HostileHostTest, ARacingStopClosesTheStreamOnce) {
  enum Outside { kStop, kDispose };
  for (Outside outside : {kStop, kDispose}) {
    SCOPED_TRACE(outside);
    StreamHost host(true);
    ASIOPelkor driver(nullptr);
    Run(driver, host);
    std::atomic<bool> inSwitch{false};
    host.ActInSwitch(host.SwitchCount() + 1, [&] {
      inSwitch = true;
      Pause(100);
      EXPECT_EQ(ASE_OK, driver.stop());
    });
    ASSERT_TRUE(WaitUntil([&] { return inSwitch.load(); }));
    Pause(20);
    EXPECT_EQ(ASE_OK, outside == kStop ? driver.stop() : driver.disposeBuffers());
    ASSERT_TRUE(host.WaitForAct());
    // Stopped, the stream stays open for the next start; disposed, it is closed.
    EXPECT_TRUE(WaitUntil([&] { return seam::OpenStreams() == (outside == kStop ? 1 : 0); }));
    EXPECT_FALSE(driver.Started());
    // It plays again as after any stop.
    if (outside == kDispose) {
      ASSERT_EQ(ASE_OK, Create(driver, host));
    }
    size_t switches = host.SwitchCount();
    ASSERT_EQ(ASE_OK, driver.start());
    EXPECT_TRUE(host.WaitForSwitches(switches + 2));
    EXPECT_EQ(ASE_OK, driver.disposeBuffers());
    EXPECT_EQ(0, seam::OpenStreams());
  }
}

// A host that lets go of the driver from a DllMain (its own module being unloaded) holds the
// loader lock, which every thread that ends needs: stop, disposeBuffers and Release must wait for
// no thread to end (the fixture counts such waits), stop must still end the host's switches, and
// what was left to close is closed once the lock is given back.
TEST_F(HostileHostTest, ReleaseUnderTheLoaderLockWaitsForNoThreadToEnd) {
  int contextsBefore = seam::OpenContexts();
  StreamHost host(false);
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  driver->AddRef();
  Run(*driver, host);
  sim::HoldLoaderLock(true);
  EXPECT_EQ(ASE_OK, driver->stop());
  size_t switches = host.SwitchCount();
  EXPECT_EQ(ASE_OK, driver->disposeBuffers());
  EXPECT_EQ(0u, driver->Release());
  Pause(30);
  EXPECT_EQ(switches, host.SwitchCount()) << "the host was asked after stop returned";
  sim::HoldLoaderLock(false);
  // A driver thread gives its module reference back as its very last step, after it stopped
  // counting as live.
  EXPECT_TRUE(WaitUntil([&] {
    return seam::OpenStreams() == 0 && seam::OpenContexts() == contextsBefore && LiveDriverThreads() == 0 &&
           sim::ModuleReferences(GetModuleHandleW(nullptr)) == 0;
  })) << "what was left to close under the lock was never closed, or a thread kept the module";
}
