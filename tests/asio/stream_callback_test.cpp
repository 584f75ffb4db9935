// What reaches the stream: the data callbacks called directly, as miniaudio's stream thread
// would, with a device whose pUserData is the driver; and the buffer blocks behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver.h"
#include "driver_peer.h"
#include "machine.h"
#include "sim/machine.h"
#include "stream.h"
#include "stream_host.h"

namespace {

const UINT32 kPoison = 0xDEADBEEFu;

class StreamCallbackTest : public MachineTest {
 protected:
  ASIOPelkor driver{nullptr};
  ma_device device = {};

  void SetUp() override {
    MachineTest::SetUp();
    device.pUserData = &driver;
  }
  void TearDown() override {
    // No stream was opened: the driver must not try to stop one.
    DriverTestPeer::SetStarted(driver, false);
    driver.disposeBuffers();
    MachineTest::TearDown();
  }

  void Create(StreamHost &host, long bufferSize) {
    ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, host.records, bufferSize, &host.callbacks));
    DriverTestPeer::SetStarted(driver, true);
  }

  // One period of `frames` frames through the PCM or DSD callback, into a poisoned output.
  std::vector<UINT32> Period(ma_uint32 frames, bool dsd = false) {
    std::vector<UINT32> out(frames * 2 + 2, kPoison);
    (dsd ? DsdDataCallback : PcmDataCallback)(&device, out.data(), nullptr, frames);
    EXPECT_EQ(kPoison, out[frames * 2]) << "wrote past the period";
    out.resize(frames * 2);
    return out;
  }

  void SelectDsd() { SelectFormat(driver, kASIODSDFormat); }
};

TEST_F(StreamCallbackTest, PlaysInterleavedTheHalfFilledOnePeriodEarlier) {
  StreamHost host(false);
  host.SetRecords(0, 1);
  host.frames = 8;
  Create(host, 8);

  // The first period asks for half 0 and plays half 1, which no one has filled: silence.
  EXPECT_EQ(std::vector<UINT32>(16, 0u), Period(8));
  for (size_t period = 1; period < 4; ++period) {
    std::vector<UINT32> out = Period(8);
    for (long i = 0; i < 8; ++i) {
      ASSERT_EQ(static_cast<UINT32>(StreamHost::Pattern(period - 1, 0, i)), out[2 * i]) << period << " " << i;
      ASSERT_EQ(static_cast<UINT32>(StreamHost::Pattern(period - 1, 1, i)), out[2 * i + 1]) << period << " " << i;
    }
  }
  std::vector<SwitchRecord> switches = host.Switches();
  ASSERT_EQ(4u, switches.size());
  for (size_t i = 0; i < switches.size(); ++i) {
    EXPECT_EQ(static_cast<long>(i % 2), switches[i].index);
    EXPECT_EQ(ASIOFalse, switches[i].directProcess);
  }
}

TEST_F(StreamCallbackTest, OneOutputPlaysOnBothChannels) {
  StreamHost host(false);
  host.SetRecords(1, -1);
  host.frames = 4;
  Create(host, 4);
  Period(4);
  std::vector<UINT32> out = Period(4);
  for (long i = 0; i < 4; ++i) {
    EXPECT_EQ(static_cast<UINT32>(StreamHost::Pattern(0, 0, i)), out[2 * i]);
    EXPECT_EQ(out[2 * i], out[2 * i + 1]);
  }
  ASIOChannelInfo info = {};
  info.channel = 1;
  ASSERT_EQ(ASE_OK, driver.getChannelInfo(&info));
  EXPECT_EQ(ASIOTrue, info.isActive);
  info.channel = 0;
  ASSERT_EQ(ASE_OK, driver.getChannelInfo(&info));
  EXPECT_EQ(ASIOFalse, info.isActive);
}

TEST_F(StreamCallbackTest, RecordsPlayInTheOrderGivenWhateverTheChannelNumbers) {
  StreamHost host(false);
  host.SetRecords(1, 0);
  host.frames = 4;
  Create(host, 4);
  Period(4);
  std::vector<UINT32> out = Period(4);
  // The block of the first record (channel 1) plays on the left.
  EXPECT_EQ(static_cast<UINT32>(StreamHost::Pattern(0, 0, 2)), out[4]);
  EXPECT_EQ(static_cast<UINT32>(StreamHost::Pattern(0, 1, 2)), out[5]);
}

TEST_F(StreamCallbackTest, DsdWordsReachTheStreamFirstByteMostSignificant) {
  const unsigned char bytes[4] = {0x01, 0x02, 0x03, 0x04};
  for (bool dsd : {false, true}) {
    StreamHost host(false);
    host.SetRecords(0, 1);
    host.fill = false;
    if (dsd) SelectDsd();
    Create(host, dsd ? 32 : 1);
    // Half 1 is what the first period plays.
    for (int c = 0; c < 2; ++c) memcpy(host.infos[c].buffers[1], bytes, sizeof(bytes));
    std::vector<UINT32> out = Period(1, dsd);
    EXPECT_EQ(dsd ? 0x01020304u : 0x04030201u, out[0]) << "dsd " << dsd;
    EXPECT_EQ(out[0], out[1]);
    DriverTestPeer::SetStarted(driver, false);
    driver.disposeBuffers();
  }
}

// Each copy loop, whichever this processor would choose: an odd length leaves a tail after the
// vector part, and every word differs, so a swapped, skipped or repeated word shows.
TEST_F(StreamCallbackTest, EveryCopyLoopInterleavesAndOrdersTheSameWords) {
  const long kWords = 37;
  int loopsRun = 0;
  for (CopyLoop loop : {CopyLoop::kPortable, CopyLoop::kWide}) {
    if (!UseCopyLoop(loop)) continue;
    ++loopsRun;
    for (bool dsd : {false, true}) {
      StreamHost host(false);
      host.SetRecords(0, 1);
      host.fill = false;
      if (dsd) SelectDsd();
      Create(host, dsd ? kWords * 32 : kWords);
      for (int c = 0; c < 2; ++c) {
        unsigned char *half = static_cast<unsigned char *>(host.infos[c].buffers[1]);
        for (long b = 0; b < kWords * 4; ++b) half[b] = static_cast<unsigned char>(b * 7 + c * 128 + 1);
      }
      std::vector<UINT32> out = Period(kWords, dsd);
      for (long i = 0; i < kWords; ++i)
        for (int c = 0; c < 2; ++c) {
          const unsigned char *bytes = static_cast<const unsigned char *>(host.infos[c].buffers[1]) + 4 * i;
          UINT32 expected = dsd ? (UINT32{bytes[0]} << 24 | UINT32{bytes[1]} << 16 | UINT32{bytes[2]} << 8 | bytes[3])
                                : (UINT32{bytes[3]} << 24 | UINT32{bytes[2]} << 16 | UINT32{bytes[1]} << 8 | bytes[0]);
          ASSERT_EQ(expected, out[2 * i + c]) << "loop " << static_cast<int>(loop) << " dsd " << dsd << " word " << i;
        }
      DriverTestPeer::SetStarted(driver, false);
      driver.disposeBuffers();
      SelectFormat(driver, kASIOPCMFormat);
    }
  }
  EXPECT_GE(loopsRun, 1);
}

TEST_F(StreamCallbackTest, DsdBlocksHoldWordsAndRoomForAByteReadingHost) {
  sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"latencyms", 5);
  ASIOPelkor dsdDriver(nullptr);
  device.pUserData = &dsdDriver;
  SelectFormat(dsdDriver, kASIODSDFormat);
  ASSERT_EQ(ASE_OK, dsdDriver.setSampleRate(64 * 44100.0));
  long size = OfferedSize(dsdDriver);
  ASSERT_EQ(14080, size);

  StreamHost host(false);
  host.SetRecords(0, 1);
  host.fill = false;
  ASSERT_EQ(ASE_OK, dsdDriver.createBuffers(host.infos, 2, size, &host.callbacks));
  EXPECT_EQ(440, dsdDriver.BlockFrames());
  for (int c = 0; c < 2; ++c) {
    char *half0 = static_cast<char *>(host.infos[c].buffers[0]);
    char *half1 = static_cast<char *>(host.infos[c].buffers[1]);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(half0) % 64);
    ASSERT_GE(half1 - half0, size);
    // A host that takes the size as bytes writes that many into each half; the address
    // sanitizer would report a write past the block.
    memset(half0, 0x5A, static_cast<size_t>(size));
    memset(half1, 0x5A, static_cast<size_t>(size));
  }
  // The stream still plays 440 words per half, from the start of each half.
  DriverTestPeer::SetStarted(dsdDriver, true);
  std::vector<UINT32> out(880, kPoison);
  DsdDataCallback(&device, out.data(), nullptr, 440);
  EXPECT_EQ(0x5A5A5A5Au, out[0]);
  EXPECT_EQ(0x5A5A5A5Au, out[879]);
  DriverTestPeer::SetStarted(dsdDriver, false);
  dsdDriver.disposeBuffers();
}

TEST_F(StreamCallbackTest, NeverReadsBeyondTheBlocksWhateverChangedAfterCreateBuffers) {
  StreamHost host(false);
  host.SetRecords(0, 1);
  host.frames = 220;
  Create(host, 220);
  // Hosts do change the rate while buffers exist; the blocks stay as they were made.
  ASSERT_EQ(ASE_OK, driver.setSampleRate(192000.0));
  ASSERT_GT(driver.BlockFrames(), 220);
  ma_uint32 bigger = static_cast<ma_uint32>(driver.BlockFrames());
  Period(bigger);
  std::vector<UINT32> out = Period(bigger);
  EXPECT_EQ(static_cast<UINT32>(StreamHost::Pattern(0, 1, 219)), out[2 * 219 + 1]);
  for (size_t i = 2 * 220; i < out.size(); ++i) ASSERT_EQ(0u, out[i]) << "beyond the block: " << i;

  // So does switching to DSD through future, whose sizes are 32 times smaller.
  SelectDsd();
  out = Period(bigger, true);
  EXPECT_EQ(static_cast<UINT32>(kDsdSilenceWord), out.back());
}

TEST_F(StreamCallbackTest, NoRecordsPlaysSilence) {
  StreamHost host(false);
  Create(host, 64);
  EXPECT_EQ(std::vector<UINT32>(128, 0u), Period(64));
  EXPECT_EQ(1u, host.SwitchCount());
  SelectDsd();
  EXPECT_EQ(std::vector<UINT32>(128, static_cast<UINT32>(kDsdSilenceWord)), Period(64, true));
}

TEST_F(StreamCallbackTest, NothingAskedOfTheHostUnlessStarted) {
  StreamHost host(false);
  host.SetRecords(0, -1);
  host.frames = 4;
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 1, 4, &host.callbacks));
  Period(4);
  EXPECT_EQ(0u, host.SwitchCount());
  ASIOSamples position = {9, 9};
  driver.getSamplePosition(&position, nullptr);
  EXPECT_EQ(0u, position.lo);
}

class CreateBuffersTest : public StreamCallbackTest {};

TEST_F(CreateBuffersTest, AsksTheHostAboutTimeInfoAndTheFormatSelectors) {
  StreamHost host(true);
  host.SetRecords(0, 1);
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, 220, &host.callbacks));
  std::vector<long> expected = {kAsioSupportsTimeInfo, 0,
                                kAsioSelectorSupported, kAsioSetIoFormat,
                                kAsioSelectorSupported, kAsioGetIoFormat,
                                kAsioSelectorSupported, kAsioCanDoIoFormat,
                                kAsioSelectorSupported, kAsioCanDoIoFormat,
                                kAsioSelectorSupported, kAsioResetRequest,
                                kAsioSelectorSupported, kAsioLatenciesChanged};
  EXPECT_EQ(expected, host.messageSelectors);
  // Copied out of the packed record before comparing.
  ASIOTime time = driver.TimeInfo();
  double speed = time.timeInfo.speed, rate = time.timeInfo.sampleRate;
  unsigned long flags = time.timeInfo.flags, timeCodeFlags = time.timeCode.flags;
  EXPECT_EQ(1.0, speed);
  EXPECT_EQ(44100.0, rate);
  EXPECT_EQ(static_cast<unsigned long>(kSystemTimeValid | kSamplePositionValid), flags);
  EXPECT_EQ(static_cast<unsigned long>(kTcValid | kTcRunning), timeCodeFlags);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(host.infos[c].buffers[0]) % 64);
    EXPECT_EQ(static_cast<INT32 *>(host.infos[c].buffers[0]) + 220, host.infos[c].buffers[1]);
  }
}

TEST_F(CreateBuffersTest, RefusedRecordsReleaseEveryBlock) {
  struct Case {
    ASIOBufferInfo third;
    const char *what;
  } cases[] = {{{ASIOTrue, 0, {}}, "an input"}, {{ASIOFalse, 2, {}}, "channel 2"},
               {{ASIOFalse, -1, {}}, "channel -1"}, {{ASIOFalse, 0, {}}, "a third output"}};
  for (const Case &c : cases) {
    StreamHost host(false);
    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, c.third};
    EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(infos, 3, 220, &host.callbacks)) << c.what;
    EXPECT_EQ(0, sim::LiveAlignedBlocks()) << c.what;
    EXPECT_TRUE(host.messageSelectors.empty()) << c.what;
    EXPECT_EQ(ASE_NotPresent, driver.start()) << c.what;
  }
}

TEST_F(CreateBuffersTest, AShortageOfMemoryReleasesEveryBlock) {
  StreamHost host(false);
  host.SetRecords(0, 1);
  sim::FailAlignedAllocAfter(1);
  EXPECT_EQ(ASE_NoMemory, driver.createBuffers(host.infos, 2, 220, &host.callbacks));
  EXPECT_EQ(0, sim::LiveAlignedBlocks());
  EXPECT_EQ(ASE_NotPresent, driver.start());
}

TEST_F(CreateBuffersTest, RefusesWhatCannotBePlayed) {
  StreamHost host(false);
  host.SetRecords(0, 1);
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(host.infos, 2, 220, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(nullptr, 2, 220, &host.callbacks));
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(host.infos, 2, 0, &host.callbacks));
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(host.infos, 2, -64, &host.callbacks));
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(host.infos, 2, kMaxBlockFrames + 1L, &host.callbacks));
  // A DSD size below one word.
  SelectDsd();
  EXPECT_EQ(ASE_InvalidParameter, driver.createBuffers(host.infos, 2, 31, &host.callbacks));
  EXPECT_EQ(0, sim::LiveAlignedBlocks());
  EXPECT_TRUE(host.messageSelectors.empty());
}

TEST_F(CreateBuffersTest, ASecondCallReplacesTheBlocks) {
  StreamHost host(false);
  host.SetRecords(0, 1);
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, 220, &host.callbacks));
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, 440, &host.callbacks));
  EXPECT_EQ(2, sim::LiveAlignedBlocks());
  EXPECT_EQ(440, driver.BlockFrames());
  // The new blocks have room for the new size (the address sanitizer watches the write).
  static_cast<INT32 *>(host.infos[1].buffers[1])[439] = 1;
}

}  // namespace
