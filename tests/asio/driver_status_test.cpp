// What a driver object shows outside the host while a stream plays: the shared status as the
// settings program reads it, and the opt-in log.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "driver_log.h"
#include "driver_peer.h"
#include "live_status.h"
#include "machine.h"
#include "miniaudio_seam.h"
#include "sim/machine.h"
#include "stream.h"
#include "stream_host.h"

namespace {

// 441 frames at 44100 Hz: a period of 10 ms.
const long kFrames = 441;
const wchar_t kLogFile[] = L"C:\\Users\\user\\AppData\\Local\\Vantrel\\asio.log";

class DriverStatusTest : public StreamTest {
 protected:
  static std::vector<DriverStatusRecord> Live() {
    DriverStatusRecord records[8];
    size_t count = ReadLiveStatuses(records, 8);
    return std::vector<DriverStatusRecord>(records, records + count);
  }
  static UINT32 PeriodsSeen() {
    std::vector<DriverStatusRecord> live = Live();
    return live.size() == 1 ? live[0].periodsPlayed : 0;
  }
  static void Play(ASIOPelkor &driver, StreamHost &host) {
    PrepareStream(driver, host, 44100.0, kFrames);
    ASSERT_EQ(ASE_OK, driver.start());
  }
  static std::wstring Verdict(const DriverStatusRecord &record) {
    WCHAR text[256];
    DescribeVerdict(record, text, _countof(text));
    return text;
  }
};

// A bit-perfect and a converted stream, each as the settings program reads it while it plays:
// what the host asked for, what the endpoint runs, the verdict with the host's own error text,
// and the periods counting up; then gone once the host releases the driver.
TEST_F(DriverStatusTest, TheReaderSeesTheFormatsTheVerdictAndThePeriodsCountingUp) {
  for (bool converted : {false, true}) {
    SCOPED_TRACE(converted ? "converted" : "bit-perfect");
    if (converted) seam::ReportInternalFormat(ma_format_f32, 2, 48000);
    StreamHost host(true);
    {
      ASIOPelkor driver(nullptr);
      Play(driver, host);
      ASSERT_TRUE(WaitUntil([] { return PeriodsSeen() >= 3; }));
      UINT32 earlier = PeriodsSeen();
      ASSERT_TRUE(WaitUntil([earlier] { return PeriodsSeen() > earlier; }));

      std::vector<DriverStatusRecord> live = Live();
      ASSERT_EQ(1u, live.size());
      const DriverStatusRecord &status = live[0];
      EXPECT_EQ(GetCurrentProcessId(), status.processId);
      EXPECT_EQ(sizeof(void *) * 8, status.hostBits);
      EXPECT_NE(0, status.hostName[0]);
      EXPECT_EQ(static_cast<UINT32>(kStatusRunning), status.state);
      EXPECT_EQ(44100u, status.askedRate);
      EXPECT_EQ(0u, status.askedDsd);
      EXPECT_EQ(converted ? 48000u : 44100u, status.endpointRate);
      EXPECT_EQ(static_cast<UINT32>(converted ? kStatusFormatF32 : kStatusFormatS32), status.endpointFormat);
      EXPECT_EQ(2u, status.endpointChannels);
      char text[124] = "";
      driver.getErrorMessage(text);
      EXPECT_EQ(converted ? L"converted: " + std::wstring(text, text + strlen(text)) : std::wstring(L"bit-perfect"),
                Verdict(status));
      EXPECT_EQ(static_cast<UINT32>(kFrames), status.bufferSize);
      long in = 0, out = 0;
      ASSERT_EQ(ASE_OK, driver.getLatencies(&in, &out));
      EXPECT_EQ(static_cast<UINT32>(out * 1000000LL / 44100), status.latencyMicroseconds);
      EXPECT_EQ(0u, status.deviceLost);

      ASSERT_EQ(ASE_OK, driver.stop());
      live = Live();
      ASSERT_EQ(1u, live.size());
      EXPECT_EQ(static_cast<UINT32>(kStatusPrepared), live[0].state);
    }
    EXPECT_TRUE(Live().empty());
  }
}

// A period is late when its callback comes more than the stream's buffer (one period here), half
// a period and a step of the millisecond clock (16 ms) after the one before: 31 ms for periods of
// 10 ms. The count takes the time stamp the period reads for the host, wrapping clock included.
TEST_F(DriverStatusTest, APeriodMoreThanHalfAPeriodBehindTheBufferCountsAsLate) {
  StreamHost host(false);
  ASIOPelkor driver(nullptr);
  Play(driver, host);
  ASSERT_TRUE(host.WaitForSwitches(2));
  ASSERT_EQ(ASE_OK, driver.stop());
  // The stream's thresholds stay; its periods now come from here, on a clock the test moves.
  DriverTestPeer::SetStarted(driver, true);
  ma_device device = {};
  device.pUserData = &driver;
  std::vector<INT32> out(2 * kFrames);
  auto period = [&](DWORD milliseconds) {
    sim::SetTimeGetTime(milliseconds);
    PcmDataCallback(&device, out.data(), nullptr, kFrames);
  };
  DWORD now = 0xFFFFFFFFu - 50;  // the late period crosses the wrap
  period(now);
  auto late = [&] {
    DriverTestPeer::SetStarted(driver, false);
    driver.stop();  // publishes
    DriverTestPeer::SetStarted(driver, true);
    return Live().at(0).latePeriods;
  };
  UINT32 before = late();
  period(now += 31);
  period(now += 10);
  EXPECT_EQ(before, late());
  period(now += 32);
  EXPECT_EQ(before + 1, late());
  DriverTestPeer::SetStarted(driver, false);
}

std::string LogText() {
  std::string text;
  sim::ReadFile(kLogFile, &text);
  return text;
}

// With "log" on, a whole play appears in the log in order, the device's loss among it; the
// stream thread, where the loss is noticed, never opens the file.
TEST_F(DriverStatusTest, AWholePlayIsLoggedInOrderAndNeverByTheStreamThread) {
  testsupport::WriteSettingDword(L"log", 1);
  StreamHost host(true);
  host.claims = {kAsioResetRequest};
  std::thread::id streamThread;
  {
    ASIOPelkor driver(nullptr);
    host.ActInSwitch(2, [&] { streamThread = std::this_thread::get_id(); });
    Play(driver, host);
    ASSERT_TRUE(host.WaitForAct());
    ASSERT_TRUE(seam::StopStreamUnderDriver());
    ASSERT_TRUE(WaitUntil([&] { return driver.StreamLost(); }));
    // The status thread drains what the stream thread reported.
    ASSERT_TRUE(WaitUntil([] { return LogText().find("kAsioResetRequest") != std::string::npos; }));
    ASSERT_EQ(ASE_OK, driver.stop());
    ASSERT_EQ(ASE_OK, driver.disposeBuffers());
  }
  std::string log = LogText();
  const char *const kInOrder[] = {
      // createBuffers opens the stream before it answers.
      "init() = ASIOTrue",  "setSampleRate(44100) = ASE_OK", "stream opened: asked PCM, 32-bit, 2 ch, 44100 Hz",
      "createBuffers(2 channels, 441, time info yes) = ASE_OK", "start() = ASE_OK",
      // From the stream thread or the device watch, whichever saw it first.
      "the device went away",                                "asioMessage(kAsioResetRequest",
      "stop() = ASE_OK",    "disposeBuffers() = ASE_OK",     "released"};
  size_t at = 0;
  for (const char *entry : kInOrder) {
    size_t found = log.find(entry, at);
    ASSERT_NE(std::string::npos, found) << "\"" << entry << "\" after offset " << at << " in:\n" << log;
    at = found;
  }
  // Once, however many of the driver's threads noticed.
  for (const char *once : {"the device went away", "kAsioResetRequest"})
    EXPECT_EQ(log.find(once), log.rfind(once)) << once << " more than once in:\n" << log;
  // Every line carries the process id.
  EXPECT_NE(std::string::npos, log.find("[" + std::to_string(GetCurrentProcessId()) + " #"));
  std::vector<std::thread::id> writers = sim::FileWriters(kLogFile);
  EXPECT_FALSE(writers.empty());
  EXPECT_TRUE(std::find(writers.begin(), writers.end(), streamThread) == writers.end())
      << "the stream thread opened the log file";
}

// The settings watch writes for the driver from a thread of its own: the reset it asks for is in
// the log before the host hears of it.
TEST_F(DriverStatusTest, AResetAskedForByASettingsChangeIsLogged) {
  testsupport::WriteSettingDword(L"log", 1);
  StreamHost host(true);
  host.claims = {kAsioResetRequest};
  ASIOPelkor driver(nullptr);
  Play(driver, host);
  testsupport::WriteSettingDword(L"latencyms", 30);
  ASSERT_TRUE(host.WaitForMessage(kAsioResetRequest));
  EXPECT_NE(std::string::npos, LogText().find("settings changed: asioMessage(kAsioResetRequest 3, 0) sent to the host"))
      << LogText();
  ASSERT_EQ(ASE_OK, driver.stop());
  ASSERT_EQ(ASE_OK, driver.disposeBuffers());
}

TEST_F(DriverStatusTest, AFullLogIsRotatedOnceBeforeTheLineThatWouldPassTheCap) {
  sim::WriteFile(kLogFile, std::string(kLogCapBytes - 10, 'x'));
  WriteDriverLog(7, "first line past the cap");
  std::string rotated, current;
  ASSERT_TRUE(sim::ReadFile(std::wstring(kLogFile) + L".1", &rotated));
  EXPECT_EQ(kLogCapBytes - 10, rotated.size());
  ASSERT_TRUE(sim::ReadFile(kLogFile, &current));
  EXPECT_NE(std::string::npos, current.find("#7] first line past the cap\r\n"));
  EXPECT_EQ(current.find("\r\n") + 2, current.size());
}

}  // namespace
