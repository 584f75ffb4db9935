// The driver object's answers as its settings key makes them. Settings are written through the
// real registry calls, so these tests run natively and under Wine alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver.h"
#include "driver_peer.h"
#include "machine.h"
#if !defined(_WIN32)
#include "sim/machine.h"
#endif

namespace {

using testsupport::CreateSettingsKey;
using testsupport::WriteSettingBytes;
using testsupport::WriteSettingDword;

struct BufferSize {
  long minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
};

BufferSize QueryBufferSize(ASIOPelkor &driver) {
  BufferSize size;
  EXPECT_EQ(ASE_OK, driver.getBufferSize(&size.minSize, &size.maxSize, &size.preferred, &size.granularity));
  return size;
}

long OutputLatency(ASIOPelkor &driver) {
  long input = -1, output = -1;
  EXPECT_EQ(ASE_OK, driver.getLatencies(&input, &output));
  EXPECT_EQ(0, input);
  return output;
}

void ExpectBufferSize(ASIOPelkor &driver, long expected) {
  BufferSize size = QueryBufferSize(driver);
  EXPECT_EQ(expected, size.minSize);
  EXPECT_EQ(expected, size.maxSize);
  EXPECT_EQ(expected, size.preferred);
  EXPECT_EQ(0, size.granularity);
}

class SettingsTest : public MachineTest {};

TEST_F(SettingsTest, WithoutKeyTheFirstDefaultsApply) {
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 220);
  EXPECT_EQ(220, OutputLatency(driver));
  EXPECT_EQ(1u, driver.PeriodCount());
  ASIOSampleRate rate = 0;
  EXPECT_EQ(ASE_OK, driver.getSampleRate(&rate));
  EXPECT_EQ(44100.0, rate);
}

TEST_F(SettingsTest, EmptyKeyTakesTheFallbacks) {
  CreateSettingsKey();
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 440);
  EXPECT_EQ(440, OutputLatency(driver));
  EXPECT_EQ(3u, driver.PeriodCount());
}

// "samples", "buffers" and "fifosize" are read and kept though nothing uses them: their defaults
// are checked here, as nothing else would notice them wrong.
TEST_F(SettingsTest, UnusedSettingsTakeTheirDefaultsWithoutKeyAndTheirFallbacksInAnEmptyKey) {
  {
    ASIOPelkor driver(nullptr);
    DriverTestPeer::Settings settings = DriverTestPeer::ReadSettings(driver);
    EXPECT_EQ(512u, settings.samples);
    EXPECT_EQ(1u, settings.buffers);
    EXPECT_EQ(8u, settings.fifoSize);
    EXPECT_EQ(5u, settings.latencyMs);
  }
  CreateSettingsKey();
  {
    ASIOPelkor driver(nullptr);
    DriverTestPeer::Settings settings = DriverTestPeer::ReadSettings(driver);
    EXPECT_EQ(256u, settings.samples);
    EXPECT_EQ(3u, settings.buffers);
    EXPECT_EQ(8u, settings.fifoSize);
    EXPECT_EQ(10u, settings.latencyMs);
  }
}

TEST_F(SettingsTest, UnusedSettingsAreReadFromTheirOwnValues) {
  WriteSettingDword(L"samples", 1000);
  WriteSettingDword(L"buffers", 7);
  WriteSettingDword(L"fifosize", 64);
  ASIOPelkor driver(nullptr);
  DriverTestPeer::Settings settings = DriverTestPeer::ReadSettings(driver);
  EXPECT_EQ(1000u, settings.samples);
  EXPECT_EQ(7u, settings.buffers);
  EXPECT_EQ(64u, settings.fifoSize);
  EXPECT_EQ(3u, settings.threads) << "its neighbours fell back on their own";
}

TEST_F(SettingsTest, ConstructionDerivesTheBufferFrom44100WhateverTheRate) {
  WriteSettingDword(L"samplerate", 48000);
  WriteSettingDword(L"latencyms", 10);
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 440);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(ASE_OK, driver.getSampleRate(&rate));
  EXPECT_EQ(48000.0, rate);
  // The same rate again is no change: the buffer keeps its construction size.
  EXPECT_EQ(ASE_OK, driver.setSampleRate(48000.0));
  ExpectBufferSize(driver, 440);
  EXPECT_EQ(0u, driver.TimeInfo().timeInfo.flags & kSampleRateChanged);
}

TEST_F(SettingsTest, AllSixValuesAreRead) {
  WriteSettingDword(L"samples", 1024);
  WriteSettingDword(L"threads", 4);
  WriteSettingDword(L"buffers", 2);
  WriteSettingDword(L"latencyms", 20);
  WriteSettingDword(L"fifosize", 16);
  WriteSettingDword(L"samplerate", 96000);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(4u, driver.PeriodCount());
  ExpectBufferSize(driver, 882);
  EXPECT_EQ(96000u, driver.StreamSampleRate());
}

TEST_F(SettingsTest, AValueWiderThanFourBytesFallsBackAlone) {
  WriteSettingDword(L"threads", 2);
  ULONGLONG wide = 20;
  WriteSettingBytes(L"latencyms", REG_QWORD, &wide, sizeof(wide));
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 440);       // latencyms fell back to 10
  EXPECT_EQ(2u, driver.PeriodCount());  // its neighbour was still read
}

TEST_F(SettingsTest, TheValueTypeIsNotChecked) {
  DWORD latency = 20;
  WriteSettingBytes(L"latencyms", REG_BINARY, &latency, sizeof(latency));
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 882);
}

TEST_F(SettingsTest, ShortValuesReadAsTheirNumber) {
  unsigned char latency[2] = {20, 0};
  WriteSettingBytes(L"latencyms", REG_BINARY, latency, sizeof(latency));
  ASIOPelkor driver(nullptr);
  ExpectBufferSize(driver, 882);
}

TEST_F(SettingsTest, SettingsAreReadOncePerObject) {
  WriteSettingDword(L"latencyms", 10);
  ASIOPelkor first(nullptr);
  WriteSettingDword(L"latencyms", 20);
  ExpectBufferSize(first, 440);
  ASIOPelkor second(nullptr);
  ExpectBufferSize(second, 882);
}

TEST_F(SettingsTest, DsdModeAt64TimesCdRate) {
  WriteSettingDword(L"latencyms", 5);
  ASIOPelkor driver(nullptr);
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioSetIoFormat, &format));
  EXPECT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
  EXPECT_EQ(88200u, driver.StreamSampleRate());
  ASIOSampleRate rate = 0;
  EXPECT_EQ(ASE_OK, driver.getSampleRate(&rate));
  EXPECT_EQ(88200.0, rate);
  ExpectBufferSize(driver, 440 * 32);
  EXPECT_EQ(440 * 32, OutputLatency(driver));
  ASIOChannelInfo info = {};
  info.channel = 0;
  EXPECT_EQ(ASE_OK, driver.getChannelInfo(&info));
  EXPECT_EQ(ASIOSTDSDInt8MSB1, info.type);
  // Setting the same DSD rate again is a change, since the stored rate is the divided one.
  EXPECT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
  EXPECT_EQ(88200u, driver.StreamSampleRate());
}

TEST_F(SettingsTest, HigherRateRescalesTheBuffer) {
  WriteSettingDword(L"latencyms", 5);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(96000.0));
  ExpectBufferSize(driver, 480);
  EXPECT_EQ(480, OutputLatency(driver));
  EXPECT_NE(0u, driver.TimeInfo().timeInfo.flags & kSampleRateChanged);
  EXPECT_EQ(96000.0, driver.TimeInfo().timeInfo.sampleRate);
}

// A host that holds the driver with buffers created: it claims kAsioResetRequest or not, counts
// the reset requests, and may release the driver from inside one (on the thread that sends it).
struct HoldingHost {
  static std::atomic<bool> claims;
  static std::atomic<int> resets;
  static std::atomic<ASIOPelkor *> releaseOnReset;
  static long Message(long selector, long value, void *, double *) {
    if (selector == kAsioSelectorSupported) return value == kAsioResetRequest && claims ? 1 : 0;
    if (selector == kAsioResetRequest) {
      ++resets;
      if (ASIOPelkor *driver = releaseOnReset.exchange(nullptr)) driver->Release();
    }
    return 0;
  }
  static void Switch(long, ASIOBool) {}
};
std::atomic<bool> HoldingHost::claims{false};
std::atomic<int> HoldingHost::resets{0};
std::atomic<ASIOPelkor *> HoldingHost::releaseOnReset{nullptr};

// Waits up to 3 s for the count to reach `count` (0: for nothing), then a little longer for one
// too many.
int ResetsAfter(int count) {
  if (count == 0) {  // nothing awaited: the little longer only
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return HoldingHost::resets;
  }
  for (int i = 0; i < 300 && HoldingHost::resets < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  return HoldingHost::resets;
}

// The settings change while a host holds the driver: a host that claims kAsioResetRequest is asked
// once per change of what the driver reads (rewriting the same value is none), also when the key
// was missing at first or is deleted; one that does not claim it is never asked. The watch ends
// with the driver, also from inside the host's reset handling.
TEST_F(SettingsTest, AChangeWhileAHostHoldsTheDriverAsksItToResetOnce) {
  for (bool claims : {true, false}) {
    SCOPED_TRACE(claims);
    RegDeleteKeyW(HKEY_CURRENT_USER, SETTINGS_KEY);
    HoldingHost::claims = claims;
    HoldingHost::resets = 0;
    ASIOCallbacks callbacks = {};
    callbacks.bufferSwitch = HoldingHost::Switch;
    callbacks.asioMessage = HoldingHost::Message;
    ASIOPelkor *driver = new ASIOPelkor(nullptr);
    driver->AddRef();
    ASIOBufferInfo info = {ASIOFalse, 0, {nullptr, nullptr}};
    ASSERT_EQ(ASE_OK, driver->createBuffers(&info, 1, 220, &callbacks));
    int asked = claims ? 1 : 0;
    WriteSettingDword(L"latencyms", 20);  // the key appears
    EXPECT_EQ(asked, ResetsAfter(asked));
    WriteSettingDword(L"latencyms", 20);
    EXPECT_EQ(asked, ResetsAfter(0)) << "the same value again";
    WriteSettingDword(L"threads", 2);
    asked += claims ? 1 : 0;
    EXPECT_EQ(asked, ResetsAfter(asked));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, SETTINGS_KEY));
    asked += claims ? 1 : 0;
    EXPECT_EQ(asked, ResetsAfter(asked)) << "the key deleted";
    if (claims) {
      HoldingHost::releaseOnReset = driver;
      WriteSettingDword(L"latencyms", 30);
      EXPECT_EQ(asked + 1, ResetsAfter(asked + 1));
      EXPECT_EQ(nullptr, HoldingHost::releaseOnReset.load()) << "the host never got to release the driver";
    } else {
      EXPECT_EQ(0u, driver->Release());
    }
  }
}

#if !defined(_WIN32)
// The settings change just as the watch asks for a notification on the key above the settings
// key: when it first asks, while the settings key is missing (the key appears), and again after
// the key appeared, by then having asked on the settings key (a value changes). The host hears of
// each change, and of the changes after them.
enum class ChangeWhileArming { kNone, kKeyAppears, kValueChanges };
std::atomic<ChangeWhileArming> changeWhileArming{ChangeWhileArming::kNone};
void ChangeWhileArmingAbove(const std::wstring &keyName) {
  if (keyName == L"ASIO") return;
  switch (changeWhileArming.exchange(ChangeWhileArming::kNone)) {
    case ChangeWhileArming::kKeyAppears: WriteSettingDword(L"latencyms", 20); break;
    case ChangeWhileArming::kValueChanges: WriteSettingDword(L"threads", 2); break;
    case ChangeWhileArming::kNone: break;
  }
}

TEST_F(SettingsTest, AChangeWhileTheWatchAsksForTheNextOneIsNotLost) {
  HoldingHost::claims = true;
  HoldingHost::resets = 0;
  ASIOCallbacks callbacks = {};
  callbacks.bufferSwitch = HoldingHost::Switch;
  callbacks.asioMessage = HoldingHost::Message;
  sim::OnRegNotifyArmed(ChangeWhileArmingAbove);
  changeWhileArming = ChangeWhileArming::kKeyAppears;
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ChangeWhileArming::kNone, changeWhileArming) << "the watch never asked on the key above";
  ASIOBufferInfo info = {ASIOFalse, 0, {nullptr, nullptr}};
  ASSERT_EQ(ASE_OK, driver.createBuffers(&info, 1, 220, &callbacks));
  WriteSettingDword(L"threads", 3);
  EXPECT_EQ(1, ResetsAfter(1)) << "the key that appeared is not watched";
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, SETTINGS_KEY));
  EXPECT_EQ(2, ResetsAfter(2));
  changeWhileArming = ChangeWhileArming::kValueChanges;
  WriteSettingDword(L"latencyms", 20);  // the key appears again: the watch asks on both keys again
  EXPECT_EQ(3, ResetsAfter(3));
  EXPECT_EQ(ChangeWhileArming::kNone, changeWhileArming) << "the watch never asked on the key above";
  WriteSettingDword(L"threads", 3);
  EXPECT_EQ(4, ResetsAfter(4));
  sim::OnRegNotifyArmed(nullptr);
  EXPECT_EQ(ASE_OK, driver.disposeBuffers());
}
#endif

}  // namespace
