// The endpoint's Windows default format follows the host's rate: start makes the stream's format
// the default (through the policy object) so that miniaudio's exclusive stream opens unconverted,
// the user's own format comes back when the driver object goes, and canSampleRate answers what
// the endpoint takes. The simulated machine plays the endpoint (sim/audio.h); the seam makes each
// stream read back what the endpoint's default format is when it opens.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "driver_peer.h"
#include "endpoint_format.h"
#include "format_record.h"
#include "machine.h"
#include "miniaudio_seam.h"
#include "sim/audio.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "stream_format.h"
#include "stream_host.h"

namespace {

const wchar_t kEndpoint[] = L"{0.0.0.00000000}.{8d1f0c3a-5e2b-4c71-9a64-2f0b7c3e1d55}";
// What the DAC takes for exclusive use at 32-bit stereo: PCM to 192 kHz, so DSD64 and DSD128.
const std::vector<DWORD> kDacRates = {44100, 48000, 88200, 96000, 176400, 192000};

// The format the user chose in Sound settings. (The null backend sizes its buffers by the format
// the seam reports, which therefore must not be narrower than 32-bit stereo.)
std::vector<uint8_t> UserFormat() { return sim::WaveFormat(48000, 2, 32, /* float */ true); }

FormatBytes Bytes(const std::vector<uint8_t> &bytes) {
  FormatBytes format = {};
  format.size = static_cast<DWORD>(bytes.size());
  memcpy(format.bytes, bytes.data(), bytes.size());
  return format;
}

bool EndpointIsAt(ULONG rate) { return IsStreamFormat(Bytes(sim::EndpointDefaultFormat(kEndpoint)), rate); }

// The endpoint id has no character that its record's key name escapes.
const std::wstring kRecordKey = std::wstring(FORMAT_RECORDS_KEY) + L"\\" + kEndpoint;
bool RecordExists() { return sim::RegKeyExists(HKEY_CURRENT_USER, kRecordKey); }

class FollowRateTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    sim::AddAudioEndpoint({kEndpoint, UserFormat(), kDacRates});
    seam::PlayOnEndpoint(kEndpoint);
  }

  // The host's open at `rate` (a DSD rate when `dsd`): format, rate, buffers of the offered size,
  // start. The stream, when it opens, keeps running.
  static ASIOError StartAt(ASIOPelkor &driver, StreamHost &host, double rate, bool dsd) {
    SelectFormat(driver, dsd ? kASIODSDFormat : kASIOPCMFormat);
    EXPECT_EQ(ASE_OK, driver.setSampleRate(rate));
    long size = OfferedSize(driver);
    host.SetRecords(0, 1);
    host.frames = dsd ? size / 32 : size;
    EXPECT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, size, &host.callbacks));
    testing::internal::CaptureStdout();
    ASIOError result = driver.start();
    testing::internal::GetCapturedStdout();
    return result;
  }

  static void ExpectUnconverted(const ASIOPelkor &driver, ULONG wordRate) {
    ASSERT_TRUE(driver.Started());
    const ma_device &stream = driver.PlaybackStream();
    EXPECT_EQ(ma_format_s32, stream.playback.internalFormat);
    EXPECT_EQ(2u, stream.playback.internalChannels);
    EXPECT_EQ(wordRate, stream.playback.internalSampleRate);
    EXPECT_STREQ("", driver.ErrorText());
  }
};

TEST_F(FollowRateTest, AHostSwitchingRatesPlaysEachUnconvertedAndTheUserFormatComesBackAtRelease) {
  struct Step {
    double rate;
    bool dsd;
    ULONG wordRate;
  } steps[] = {{44100, false, 44100},        {96000, false, 96000},         {44100, false, 44100},
               {64 * 44100.0, true, 88200}, {128 * 44100.0, true, 176400}, {44100, false, 44100}};
  StreamHost host(true);
  {
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    for (const Step &step : steps) {
      SCOPED_TRACE(step.rate);
      ASSERT_EQ(ASE_OK, StartAt(driver, host, step.rate, step.dsd));
      EXPECT_EQ(kFollowChanged, driver.LastFollow());
      ExpectUnconverted(driver, step.wordRate);
      EXPECT_TRUE(EndpointIsAt(step.wordRate));
      // The mix format Windows pairs with it: float at the same rate.
      EndpointFormat mix;
      std::vector<uint8_t> mixBytes = sim::EndpointMixFormat(kEndpoint);
      ASSERT_TRUE(ParseWaveFormat(mixBytes.data(), mixBytes.size(), &mix));
      EXPECT_TRUE(mix.isFloat);
      EXPECT_EQ(step.wordRate, mix.sampleRate);
      EXPECT_EQ(2, mix.channels);
      EXPECT_TRUE(host.WaitForSwitches(host.SwitchCount() + 2));
      // Stopping leaves the format for the next open: hosts open and close streams often.
      EXPECT_EQ(ASE_OK, driver.stop());
      EXPECT_TRUE(EndpointIsAt(step.wordRate));
    }
    // The same rate again needs no change.
    int sets = sim::SetDeviceFormatCalls();
    ASSERT_EQ(ASE_OK, StartAt(driver, host, 44100, false));
    EXPECT_EQ(kFollowAlready, driver.LastFollow());
    EXPECT_EQ(sets, sim::SetDeviceFormatCalls());
  }
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
  EXPECT_EQ(0, sim::LiveTaskAllocations());
}

TEST_F(FollowRateTest, AFormatTheUserChoseMeanwhileIsKept) {
  StreamHost host(false);
  const std::vector<uint8_t> chosen = sim::WaveFormat(44100, 2, 16);
  {
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, StartAt(driver, host, 96000, false));
    driver.stop();
    sim::SetEndpointDefaultFormat(kEndpoint, chosen);
  }
  EXPECT_EQ(chosen, sim::EndpointDefaultFormat(kEndpoint));
  EXPECT_FALSE(RecordExists());

  // What the driver replaces after the user's change is that change, not the older format.
  {
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, StartAt(driver, host, 96000, false));
    driver.stop();
    const std::vector<uint8_t> later = sim::WaveFormat(88200, 2, 32);
    sim::SetEndpointDefaultFormat(kEndpoint, later);
    ASSERT_EQ(ASE_OK, StartAt(driver, host, 44100, false));
    ExpectUnconverted(driver, 44100);
    driver.stop();
  }
  EXPECT_EQ(sim::WaveFormat(88200, 2, 32), sim::EndpointDefaultFormat(kEndpoint));
}

// The change went through, but reading the endpoint back right after it failed: the user's format
// still comes back at release.
TEST_F(FollowRateTest, AChangeThatCouldNotBeReadBackIsUndoneAtRelease) {
  StreamHost host(false);
  {
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    // The read before the change succeeds, the one after it fails.
    sim::FailFormatReads(1, 1);
    StartAt(driver, host, 96000, false);
    EXPECT_TRUE(EndpointIsAt(96000));
    driver.stop();
  }
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
}

// A host that lets go of the driver from inside its switch: the stream is closed on a thread of
// the driver's own, and the format goes back there, never on the stream thread.
TEST_F(FollowRateTest, ReleasedFromInsideTheSwitchTheFormatStillComesBack) {
  int contextsBefore = seam::OpenContexts();
  StreamHost host(false);
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  driver->AddRef();
  ASSERT_EQ(ASIOTrue, InitQuietly(*driver));
  ASSERT_EQ(ASE_OK, StartAt(*driver, host, 96000, false));
  host.ActInSwitch(host.SwitchCount() + 1, [&] { EXPECT_EQ(0u, driver->Release()); });
  ASSERT_TRUE(host.WaitForAct());
  for (int i = 0; i < 500 && (seam::OpenContexts() > contextsBefore || sim::EndpointDefaultFormat(kEndpoint) != UserFormat()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(contextsBefore, seam::OpenContexts());
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
}

// Every way the change can fail: the stream opens in the user's format as it always did, the
// guard decides (PCM plays converted, DSD is refused), the endpoint keeps the user's format, and
// the error text says what happened and what to do.
TEST_F(FollowRateTest, EachFailureKeepsTheGuardsBehaviourAndSaysWhy) {
  struct Case {
    const char *name;
    sim::PolicyService service;
    double rate;  // 352800 Hz PCM is a rate the endpoint refuses; DSD256 needs it too
    FollowOutcome outcome;
    const char *pcmText;
    const char *dsdText;
  } cases[] = {
      {"endpoint refuses", sim::PolicyService::kPresent, 352800, kFollowRefused,
       "Not bit-perfect: the device refuses exclusive 32-bit, 352800 Hz; it runs at 32-bit float, 48000 Hz. Play another rate",
       "DSD cannot play: the device refuses exclusive 32-bit, 352800 Hz; it runs at 32-bit float, 48000 Hz. Play another rate"},
      {"no policy object", sim::PolicyService::kAbsent, 96000, kFollowNoPolicy,
       "Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 96000 Hz",
       "DSD needs the device's Windows Default Format at 32-bit, 88200 Hz; it is 32-bit float, 48000 Hz, 2 ch"},
      {"no interface", sim::PolicyService::kWithoutInterface, 96000, kFollowNoPolicy, nullptr, nullptr},
      {"call fails", sim::PolicyService::kRefuses, 96000, kFollowSetFailed,
       "Not bit-perfect: Windows refused to switch the device to 32-bit, 96000 Hz (0x80070005); set it in Sound settings",
       "DSD cannot play: Windows refused to switch the device to 32-bit, 88200 Hz (0x80070005); set it in Sound settings"},
      {"format stays", sim::PolicyService::kIgnores, 96000, kFollowUnchanged,
       "Not bit-perfect: the device stayed at 32-bit float, 48000 Hz when set to 32-bit, 96000 Hz; set it in Sound settings",
       "DSD cannot play: the device stayed at 32-bit float, 48000 Hz when set to 32-bit, 88200 Hz; set it in Sound settings"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SetPolicyService(c.service);
    for (bool dsd : {false, true}) {
      SCOPED_TRACE(dsd ? "DSD" : "PCM");
      StreamHost host(false);
      ASIOPelkor driver(nullptr);
      ASSERT_EQ(ASIOTrue, InitQuietly(driver));
      // DSD at the word rate of the PCM case: DSD256 for 352800, DSD64 otherwise.
      double rate = dsd ? (c.rate == 352800 ? 256 * 44100.0 : 64 * 44100.0) : c.rate;
      ASIOError result = StartAt(driver, host, rate, dsd);
      EXPECT_EQ(c.outcome, driver.LastFollow());
      EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
      // Nothing changed, so nothing is recorded; without a policy object nothing is even written.
      EXPECT_FALSE(RecordExists());
      if (c.outcome == kFollowNoPolicy) {
        EXPECT_FALSE(sim::RegKeyExists(HKEY_CURRENT_USER, FORMAT_RECORDS_KEY));
      }
      const char *text = dsd ? c.dsdText : c.pcmText;
      if (text) {
        EXPECT_STREQ(text, driver.ErrorText());
      }
      if (dsd) {
        EXPECT_EQ(ASE_NotPresent, result);
        EXPECT_FALSE(driver.Started());
        EXPECT_EQ(0, seam::OpenStreams());
      } else {
        ASSERT_EQ(ASE_OK, result);
        EXPECT_EQ(ma_format_f32, driver.PlaybackStream().playback.internalFormat);
        EXPECT_TRUE(host.WaitForSwitches(2));
        driver.stop();
      }
    }
  }
  EXPECT_EQ(0, sim::LiveTaskAllocations());
}

TEST_F(FollowRateTest, WithTheSettingOffTheEndpointIsLeftAlone) {
  testsupport::WriteSettingDword(L"followrate", 0);
  StreamHost host(false);
  {
    ASIOPelkor driver(nullptr);
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, StartAt(driver, host, 96000, false));
    EXPECT_EQ(kFollowNotTried, driver.LastFollow());
    EXPECT_STREQ("Not bit-perfect: Windows runs the device at 32-bit float, 48000 Hz, 2 ch; choose 32-bit, 96000 Hz",
                 driver.ErrorText());
    driver.stop();
  }
  EXPECT_EQ(0, sim::SetDeviceFormatCalls());
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));

  // Missing, or wider than 4 bytes: on.
  sim::SetRegValue(HKEY_CURRENT_USER, SETTINGS_KEY, L"followrate", REG_BINARY, std::vector<uint8_t>(8, 0));
  ASIOPelkor driver(nullptr);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  ASSERT_EQ(ASE_OK, StartAt(driver, host, 96000, false));
  EXPECT_EQ(kFollowChanged, driver.LastFollow());
  driver.stop();
}

// The rates RtAudio asks about, in its order.
const double kProbedRates[] = {4000,  5512,  8000,  9600,  11025, 16000,  22050,
                               32000, 44100, 48000, 88200, 96000, 176400, 192000};

TEST_F(FollowRateTest, CanSampleRateSaysYesOnlyToWhatTheEndpointTakes) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  std::vector<double> yes;
  for (double rate : kProbedRates)
    if (driver.canSampleRate(rate) == ASE_OK) yes.push_back(rate);
  EXPECT_EQ(std::vector<double>({44100, 48000, 88200, 96000, 176400, 192000}), yes);
  // One question per rate that setSampleRate would take, so a probe stays quick.
  EXPECT_EQ(6, sim::IsFormatSupportedCalls());

  // In DSD mode the endpoint is asked about the word rate.
  SelectFormat(driver, kASIODSDFormat);
  EXPECT_EQ(ASE_OK, driver.canSampleRate(64 * 44100.0));
  EXPECT_EQ(ASE_OK, driver.canSampleRate(128 * 48000.0));
  EXPECT_EQ(ASE_NoClock, driver.canSampleRate(256 * 44100.0));
  EXPECT_EQ(ASE_NoClock, driver.canSampleRate(22050.0));

  // While a stream holds the endpoint, and from inside the host's switch, the endpoint is not
  // asked: the answer is setSampleRate's.
  ASSERT_EQ(ASE_OK, StartAt(driver, host, 64 * 44100.0, true));
  int asked = sim::IsFormatSupportedCalls();
  std::atomic<ASIOError> inSwitch{ASE_InvalidParameter};
  host.ActInSwitch(host.SwitchCount() + 2, [&] { inSwitch = driver.canSampleRate(256 * 44100.0); });
  ASSERT_TRUE(host.WaitForAct());
  EXPECT_EQ(ASE_OK, inSwitch.load());
  EXPECT_EQ(ASE_OK, driver.canSampleRate(256 * 44100.0));
  EXPECT_EQ(asked, sim::IsFormatSupportedCalls());
  driver.stop();
}

TEST_F(FollowRateTest, WithoutAnEndpointCanSampleRateAnswersAsSetSampleRate) {
  seam::PlayOnEndpoint(L"");
  ASIOPelkor driver(nullptr);
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  for (double rate : kProbedRates)
    EXPECT_EQ(rate < 44100 ? ASE_NoClock : ASE_OK, driver.canSampleRate(rate)) << rate;
  EXPECT_EQ(ASE_NoClock, driver.canSampleRate(1e12));
  EXPECT_EQ(0, sim::IsFormatSupportedCalls());
}

// The record of the user's format, shared by every driver object on the endpoint and kept in the
// registry, so that it comes back whichever object goes last, in whichever process, or after a
// host that never released its object.
class FormatRecordTest : public FollowRateTest {
 protected:
  static void PlayAt(ASIOPelkor &driver, StreamHost &host, double rate) {
    ASSERT_EQ(ASIOTrue, InitQuietly(driver));
    ASSERT_EQ(ASE_OK, StartAt(driver, host, rate, false));
    EXPECT_EQ(ASE_OK, driver.stop());
  }
  static void InitAnotherObject() {
    ASIOPelkor next(nullptr);
    EXPECT_EQ(ASIOTrue, InitQuietly(next));
  }
  // What the settings program runs (in its own thread's apartment) when it starts.
  static void SettleAsTheSettingsProgramDoes() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    SettleFormatRecords();
    CoUninitialize();
  }
};

TEST_F(FormatRecordTest, ObjectsAtTwoRatesReleasedInAnyOrderGiveTheUserFormatBack) {
  // A plays at 96000, then B (in another process) at 44100; C finds 44100 already set and relies
  // on it too. Until the last goes, the endpoint keeps the format the driver set last.
  const int orders[][3] = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {0, 2, 1}};
  const DWORD self = GetCurrentProcessId();
  for (const auto &order : orders) {
    SCOPED_TRACE(testing::Message() << "released in the order " << order[0] << order[1] << order[2]);
    StreamHost host(false);
    DWORD other = sim::StartOtherProcess();
    ASIOPelkor *drivers[3];
    for (ASIOPelkor *&driver : drivers) {
      driver = new ASIOPelkor(nullptr);
      driver->AddRef();
    }
    PlayAt(*drivers[0], host, 96000);
    sim::BecomeProcess(other);
    PlayAt(*drivers[1], host, 44100);
    sim::BecomeProcess(self);
    PlayAt(*drivers[2], host, 44100);
    EXPECT_EQ(kFollowAlready, drivers[2]->LastFollow());
    for (int index : order) {
      EXPECT_TRUE(EndpointIsAt(44100));
      EXPECT_TRUE(RecordExists());
      EXPECT_EQ(0u, drivers[index]->Release());
    }
    EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
    EXPECT_FALSE(RecordExists());
    sim::EndOtherProcess(other);
  }
}

TEST_F(FormatRecordTest, AnObjectNeverReleasedIsSettledOnceItsProcessHasGone) {
  enum Settler { kNextInit, kSettingsProgram, kNextInitWithTheIdReused };
  const DWORD self = GetCurrentProcessId();
  for (Settler settler : {kNextInit, kSettingsProgram, kNextInitWithTheIdReused}) {
    SCOPED_TRACE(settler);
    StreamHost host(false);
    DWORD crashed = sim::StartOtherProcess();
    sim::BecomeProcess(crashed);
    {
      ASIOPelkor driver(nullptr);
      PlayAt(driver, host, 96000);
      DriverTestPeer::ForgetFormatHold(driver);
    }
    sim::BecomeProcess(self);
    EXPECT_TRUE(EndpointIsAt(96000));

    // While the holder's process runs, its format stays.
    InitAnotherObject();
    SettleAsTheSettingsProgramDoes();
    EXPECT_TRUE(EndpointIsAt(96000));
    EXPECT_TRUE(RecordExists());

    sim::EndOtherProcess(crashed);
    // A new process under the old id is not the holder: its creation time differs.
    if (settler == kNextInitWithTheIdReused) {
      EXPECT_EQ(crashed, sim::StartOtherProcess(crashed));
    }
    if (settler == kSettingsProgram)
      SettleAsTheSettingsProgramDoes();
    else
      InitAnotherObject();
    EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
    EXPECT_FALSE(RecordExists());
    if (settler == kNextInitWithTheIdReused) sim::EndOtherProcess(crashed);
    sim::SetEndpointDefaultFormat(kEndpoint, UserFormat());
  }
}

TEST_F(FormatRecordTest, ARestoreThatFailedIsTriedAgain) {
  StreamHost host(false);
  {
    ASIOPelkor driver(nullptr);
    PlayAt(driver, host, 96000);
    sim::SetPolicyService(sim::PolicyService::kRefuses);
  }
  EXPECT_TRUE(EndpointIsAt(96000));
  ASSERT_TRUE(RecordExists());

  // The settings program sees it, with nobody holding it.
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  FormatRecordView view;
  InspectFormatRecord(kEndpoint, &view);
  EXPECT_TRUE(view.exists);
  EXPECT_FALSE(view.held);
  EXPECT_TRUE(SameFormat(Bytes(UserFormat()), view.user));
  EXPECT_TRUE(IsStreamFormat(view.set, 96000));
  CoUninitialize();

  // The next attempt finds the endpoint unreadable (unplugged at that moment): kept again.
  sim::SetPolicyService(sim::PolicyService::kPresent);
  sim::FailFormatReads(0, 1);
  InitAnotherObject();
  EXPECT_TRUE(EndpointIsAt(96000));
  ASSERT_TRUE(RecordExists());

  InitAnotherObject();
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
  EXPECT_FALSE(RecordExists());
}

TEST_F(FormatRecordTest, TheSettingsProgramsButtonPutsItBackOnlyWhenNoHolderLives) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  PlayAt(driver, host, 96000);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  FormatRecordView view;
  InspectFormatRecord(kEndpoint, &view);
  EXPECT_TRUE(view.exists);
  EXPECT_TRUE(view.held);
  EXPECT_EQ(-1, PutBackEndpointFormat(kEndpoint));
  EXPECT_TRUE(EndpointIsAt(96000));

  DriverTestPeer::ForgetFormatHold(driver);
  sim::SetRegValue(HKEY_CURRENT_USER, kRecordKey, L"Holders", REG_BINARY, {});
  EXPECT_EQ(0, PutBackEndpointFormat(kEndpoint));
  EXPECT_EQ(UserFormat(), sim::EndpointDefaultFormat(kEndpoint));
  InspectFormatRecord(kEndpoint, &view);
  EXPECT_FALSE(view.exists);
  CoUninitialize();
}

// Whatever the values hold, settling gives a defined answer: a record whose formats do not parse
// is dropped and the endpoint left alone; holders that are cut short or name no process count as
// gone.
TEST_F(FormatRecordTest, ValuesThatMakeNoSenseAreNoRecordOrNoHolder) {
  const std::vector<uint8_t> set = sim::WaveFormat(96000, 2, 32);
  const std::vector<uint8_t> user = UserFormat();
  const std::vector<uint8_t> noProcessAndAPiece = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0x44};
  struct Case {
    const char *name;
    DWORD userType;
    std::vector<uint8_t> user;
    std::vector<uint8_t> holders;
    bool restored;
  } cases[] = {
      {"user format of another type", REG_DWORD, user, {}, false},
      {"user format cut short", REG_BINARY, std::vector<uint8_t>(user.begin(), user.begin() + 20), {}, false},
      {"holders cut short or naming no process", REG_BINARY, user, noProcessAndAPiece, true},
      {"holders longer than any list", REG_BINARY, user, std::vector<uint8_t>(4096, 0x11), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SetEndpointDefaultFormat(kEndpoint, set);
    sim::SetRegValue(HKEY_CURRENT_USER, kRecordKey, L"User", c.userType, c.user);
    sim::SetRegValue(HKEY_CURRENT_USER, kRecordKey, L"Set", REG_BINARY, set);
    sim::SetRegValue(HKEY_CURRENT_USER, kRecordKey, L"Holders", REG_BINARY, c.holders);
    InitAnotherObject();
    EXPECT_EQ(c.restored ? UserFormat() : set, sim::EndpointDefaultFormat(kEndpoint));
    EXPECT_FALSE(RecordExists());
  }
}

}  // namespace
