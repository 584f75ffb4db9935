// The settings program's reading, writing and checking of the settings key. Only real registry
// calls, so these run against the stand-in and under Wine alike.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "driver.h"
#include "machine.h"
#include "settings_store.h"

namespace {

using testsupport::CreateSettingsKey;
using testsupport::WriteSettingBytes;
using testsupport::WriteSettingDword;

struct Stored {
  bool exists = false;
  DWORD type = 0xDEADBEEF;
  std::vector<BYTE> data;
};

Stored ReadStored(const WCHAR *name) {
  Stored stored;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return stored;
  BYTE data[64];
  DWORD size = sizeof(data);
  stored.exists = RegQueryValueExW(key, name, nullptr, &stored.type, data, &size) == ERROR_SUCCESS;
  if (stored.exists) stored.data.assign(data, data + size);
  RegCloseKey(key);
  return stored;
}

void ExpectDword(const WCHAR *name, DWORD expected) {
  Stored stored = ReadStored(name);
  ASSERT_TRUE(stored.exists) << "value missing";
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
  ASSERT_EQ(4u, stored.data.size());
  DWORD value = 0;
  memcpy(&value, stored.data.data(), 4);
  EXPECT_EQ(expected, value);
}

SettingsSnapshot Load() {
  SettingsSnapshot snapshot;
  memset(&snapshot, 0xA5, sizeof(snapshot));
  EXPECT_EQ(0, LoadSettings(&snapshot));
  return snapshot;
}

void ExpectValues(const DriverSettings &settings, std::vector<DWORD> expected) {
  for (int i = 0; i < kSettingCount; ++i) EXPECT_EQ(expected[i], settings.values[i]) << "value " << i;
}

class LoadSettingsTest : public MachineTest {};

TEST_F(LoadSettingsTest, MissingKeyShowsTheDefaultsWithoutKey) {
  SettingsSnapshot snapshot = Load();
  EXPECT_FALSE(snapshot.keyExists);
  ExpectValues(snapshot.effective, {512, 1, 1, 5, 8, 44100});
  for (StoredAs stored : snapshot.stored) EXPECT_EQ(StoredAs::kMissing, stored);
}

TEST_F(LoadSettingsTest, EmptyKeyShowsTheFallbacks) {
  CreateSettingsKey();
  SettingsSnapshot snapshot = Load();
  EXPECT_TRUE(snapshot.keyExists);
  ExpectValues(snapshot.effective, {256, 3, 3, 10, 8, 44100});
  for (StoredAs stored : snapshot.stored) EXPECT_EQ(StoredAs::kMissing, stored);
}

TEST_F(LoadSettingsTest, OddTypesAndSizesShowWhatTheDriverReads) {
  BYTE oneByte = 0x01;
  WriteSettingBytes(L"samples", REG_BINARY, &oneByte, 1);  // only the low byte of 512 is replaced
  ULONGLONG wide = 4;
  WriteSettingBytes(L"threads", REG_QWORD, &wide, sizeof(wide));  // too wide: the fallback
  DWORD latency = 20;
  WriteSettingBytes(L"latencyms", REG_BINARY, &latency, sizeof(latency));
  WriteSettingDword(L"samplerate", 48000);
  SettingsSnapshot snapshot = Load();
  ExpectValues(snapshot.effective, {0x201, 3, 3, 20, 8, 48000});
  EXPECT_EQ(StoredAs::kOtherTypeOrSize, snapshot.stored[kSettingSamples]);
  EXPECT_EQ(StoredAs::kOtherTypeOrSize, snapshot.stored[kSettingThreads]);
  EXPECT_EQ(StoredAs::kMissing, snapshot.stored[kSettingBuffers]);
  EXPECT_EQ(StoredAs::kOtherTypeOrSize, snapshot.stored[kSettingLatencyMs]);
  EXPECT_EQ(StoredAs::kDword, snapshot.stored[kSettingSampleRate]);

  // The driver object itself agrees with what the program shows.
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(snapshot.effective.values[kSettingThreads], driver.PeriodCount());
  EXPECT_EQ(ComputePreferredFrames(snapshot.effective.values[kSettingLatencyMs], 44100), driver.PreferredFrames());
  EXPECT_EQ(snapshot.effective.values[kSettingSampleRate], driver.StreamSampleRate());
}

class SaveSettingsTest : public MachineTest {};

TEST_F(SaveSettingsTest, MissingKeyIsCreatedWithAllSixValues) {
  SettingsSnapshot loaded = Load();
  DriverSettings wanted = loaded.effective;
  wanted.values[kSettingLatencyMs] = 12;
  ASSERT_EQ(ERROR_SUCCESS, SaveSettings(loaded, wanted));
  ExpectDword(L"samples", 512);
  ExpectDword(L"threads", 1);
  ExpectDword(L"buffers", 1);
  ExpectDword(L"latencyms", 12);
  ExpectDword(L"fifosize", 8);
  ExpectDword(L"samplerate", 44100);
}

TEST_F(SaveSettingsTest, UnchangedValuesStayAsTheyAre) {
  const WCHAR text[] = L"16";
  WriteSettingBytes(L"fifosize", REG_SZ, text, sizeof(text));
  BYTE oneByte = 0x07;
  WriteSettingBytes(L"buffers", REG_BINARY, &oneByte, 1);
  WriteSettingDword(L"samples", 777);
  WriteSettingDword(L"latencyms", 5);
  Stored fifoBefore = ReadStored(L"fifosize");
  Stored buffersBefore = ReadStored(L"buffers");

  SettingsSnapshot loaded = Load();
  DriverSettings wanted = loaded.effective;
  wanted.values[kSettingLatencyMs] = 9;
  ASSERT_EQ(ERROR_SUCCESS, SaveSettings(loaded, wanted));

  ExpectDword(L"latencyms", 9);
  ExpectDword(L"samples", 777);
  Stored fifoAfter = ReadStored(L"fifosize");
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), fifoAfter.type);
  EXPECT_EQ(fifoBefore.data, fifoAfter.data);
  Stored buffersAfter = ReadStored(L"buffers");
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), buffersAfter.type);
  EXPECT_EQ(buffersBefore.data, buffersAfter.data);
  // A value the key lacks keeps lacking it: the driver goes on taking its fallback.
  EXPECT_FALSE(ReadStored(L"threads").exists);
  EXPECT_FALSE(ReadStored(L"samplerate").exists);
}

TEST_F(SaveSettingsTest, AnOddValueIsReplacedWhenChanged) {
  BYTE latency[2] = {20, 0};
  WriteSettingBytes(L"latencyms", REG_BINARY, latency, sizeof(latency));
  SettingsSnapshot loaded = Load();
  ASSERT_EQ(20u, loaded.effective.values[kSettingLatencyMs]);
  DriverSettings wanted = loaded.effective;
  wanted.values[kSettingLatencyMs] = 30;
  ASSERT_EQ(ERROR_SUCCESS, SaveSettings(loaded, wanted));
  ExpectDword(L"latencyms", 30);
  SettingsSnapshot reloaded = Load();
  EXPECT_EQ(StoredAs::kDword, reloaded.stored[kSettingLatencyMs]);
  ExpectValues(reloaded.effective, {256, 3, 3, 30, 8, 44100});
}

class ParseSettingTextTest : public ::testing::Test {
 protected:
  bool Parse(const WCHAR *text, const SettingRange &range) {
    value = 0xDEADBEEF;
    wcscpy(message, L"poison");
    return ParseSettingText(text, range, &value, message, sizeof(message) / sizeof(message[0]));
  }
  DWORD value = 0;
  WCHAR message[96] = L"";
};

TEST_F(ParseSettingTextTest, AcceptsWholeNumbersWithinTheRange) {
  ASSERT_TRUE(Parse(L"12", kLatencyRange));
  EXPECT_EQ(12u, value);
  ASSERT_TRUE(Parse(L" 1\t", kLatencyRange));
  EXPECT_EQ(1u, value);
  ASSERT_TRUE(Parse(L"1000", kLatencyRange));
  EXPECT_EQ(1000u, value);
  ASSERT_TRUE(Parse(L"44100", kSampleRateRange));
  EXPECT_EQ(44100u, value);
  ASSERT_TRUE(Parse(L"16", kPeriodsRange));
  EXPECT_EQ(16u, value);
}

TEST_F(ParseSettingTextTest, RefusesTextAndLeavesTheValue) {
  for (const WCHAR *text : {L"", L"  ", L"abc", L"12a", L"-5", L"+5", L"1 2", L"5.0"}) {
    EXPECT_FALSE(Parse(text, kLatencyRange)) << "accepted";
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_NE(0, wcscmp(L"poison", message));
    EXPECT_NE(nullptr, wcsstr(message, L"1 to 1000"));
  }
}

TEST_F(ParseSettingTextTest, RefusesNumbersOutsideTheRange) {
  EXPECT_FALSE(Parse(L"0", kLatencyRange));
  EXPECT_FALSE(Parse(L"1001", kLatencyRange));
  EXPECT_FALSE(Parse(L"17", kPeriodsRange));
  EXPECT_FALSE(Parse(L"44099", kSampleRateRange));
  // Past 32 bits: must not wrap around into the range.
  EXPECT_FALSE(Parse(L"4294967301", kLatencyRange));
  EXPECT_FALSE(Parse(L"99999999999999999999999", kLatencyRange));
  EXPECT_EQ(0xDEADBEEFu, value);
  EXPECT_NE(nullptr, wcsstr(message, L"1 to 1000"));
}

}  // namespace
