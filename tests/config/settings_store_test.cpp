// The settings program's reading, writing and checking of the settings key. Only real registry
// calls, so these run against the stand-in and under Wine alike.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "driver.h"
#include "machine.h"
#include "settings_store.h"

#if defined(VANTREL_NATIVE)
#include "sim/machine.h"
#endif

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
  ASSERT_EQ(static_cast<size_t>(kSettingCount), expected.size());
  for (int i = 0; i < kSettingCount; ++i) EXPECT_EQ(expected[i], settings.values[i]) << "value " << i;
}

class LoadSettingsTest : public MachineTest {};

TEST_F(LoadSettingsTest, MissingKeyShowsTheDefaultsWithoutKey) {
  SettingsSnapshot snapshot = Load();
  EXPECT_FALSE(snapshot.keyExists);
  ExpectValues(snapshot.effective, {512, 1, 1, 5, 8, 44100, 1, 0});
  for (StoredAs stored : snapshot.stored) EXPECT_EQ(StoredAs::kMissing, stored);
}

TEST_F(LoadSettingsTest, EmptyKeyShowsTheFallbacks) {
  CreateSettingsKey();
  SettingsSnapshot snapshot = Load();
  EXPECT_TRUE(snapshot.keyExists);
  ExpectValues(snapshot.effective, {256, 3, 3, 10, 8, 44100, 1, 0});
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
  ExpectValues(snapshot.effective, {0x201, 3, 3, 20, 8, 48000, 1, 0});
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

// Every form a value can take is shown as the driver reads it, and only a 4-byte REG_DWORD counts
// as the program's own: the driver ignores the type and takes a wider value's fallback.
TEST_F(LoadSettingsTest, EachStoredFormIsClassified) {
  const DWORD twenty = 20;
  const ULONGLONG wideTwenty = 20;
  const BYTE shortTwenty[2] = {20, 0};
  const BYTE nine[4] = {'9', 0, 0, 0};  // "9" in UTF-16 with its terminator: read as the number 0x39
  struct Case {
    DWORD type;
    const void *data;
    DWORD size;
    DWORD effective;
    StoredAs stored;
  } cases[] = {
      {REG_DWORD, &twenty, 4, 20, StoredAs::kDword},
      {REG_DWORD, shortTwenty, 2, 20, StoredAs::kOtherTypeOrSize},
      {REG_DWORD, &wideTwenty, 8, 10, StoredAs::kOtherTypeOrSize},
      {REG_BINARY, &twenty, 4, 20, StoredAs::kOtherTypeOrSize},
      {REG_SZ, nine, 4, 0x39, StoredAs::kOtherTypeOrSize},
  };
  for (const Case &c : cases) {
    WriteSettingBytes(L"latencyms", c.type, c.data, c.size);
    SettingsSnapshot snapshot = Load();
    EXPECT_EQ(c.effective, snapshot.effective.values[kSettingLatencyMs]) << "type " << c.type << ", " << c.size;
    EXPECT_EQ(c.stored, snapshot.stored[kSettingLatencyMs]) << "type " << c.type << ", " << c.size;
    ASIOPelkor driver(nullptr);
    EXPECT_EQ(ComputePreferredFrames(c.effective, 44100), driver.PreferredFrames());
  }
}

#if defined(VANTREL_NATIVE)
// Only the stand-in can make a key refuse one kind of access.
TEST_F(LoadSettingsTest, AKeyThatRefusesReadingShowsTheFirstDefaultsAndIsWrittenInFull) {
  WriteSettingDword(L"latencyms", 20);
  sim::DenyRegKeyAccess(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_QUERY_VALUE);
  SettingsSnapshot snapshot;
  memset(&snapshot, 0xA5, sizeof(snapshot));
  EXPECT_EQ(-1, LoadSettings(&snapshot));
  EXPECT_FALSE(snapshot.keyExists);
  ExpectValues(snapshot.effective, {512, 1, 1, 5, 8, 44100, 1, 0});
  for (StoredAs stored : snapshot.stored) EXPECT_EQ(StoredAs::kMissing, stored);

  // What is in the key is unknown, so all eight are written: the driver then reads what was shown.
  DriverSettings wanted = snapshot.effective;
  wanted.values[kSettingLatencyMs] = 12;
  ASSERT_EQ(ERROR_SUCCESS, SaveSettings(snapshot, wanted));
  sim::DenyRegKeyAccess(HKEY_CURRENT_USER, SETTINGS_KEY, 0);
  SettingsSnapshot reloaded = Load();
  ExpectValues(reloaded.effective, {512, 1, 1, 12, 8, 44100, 1, 0});
  for (StoredAs stored : reloaded.stored) EXPECT_EQ(StoredAs::kDword, stored);
}
#endif

class SaveSettingsTest : public MachineTest {};

TEST_F(SaveSettingsTest, MissingKeyIsCreatedWithAllEightValues) {
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
  ExpectDword(L"followrate", 1);
  ExpectDword(L"log", 0);
}

// The check box: off is written as 0, and the driver then leaves the endpoint's format alone.
TEST_F(SaveSettingsTest, FollowRateOffIsWrittenAsZeroAndNothingElse) {
  WriteSettingDword(L"latencyms", 7);
  SettingsSnapshot loaded = Load();
  DriverSettings wanted = loaded.effective;
  wanted.values[kSettingFollowRate] = 0;
  ASSERT_EQ(ERROR_SUCCESS, SaveSettings(loaded, wanted));
  ExpectDword(L"followrate", 0);
  EXPECT_FALSE(ReadStored(L"samples").exists);
  EXPECT_EQ(0u, Load().effective.values[kSettingFollowRate]);
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
  ExpectValues(reloaded.effective, {256, 3, 3, 30, 8, 44100, 1, 0});
}

#if defined(VANTREL_NATIVE)
TEST_F(SaveSettingsTest, AKeyThatRefusesWritingReportsWhy) {
  WriteSettingDword(L"latencyms", 20);
  sim::DenyRegKeyAccess(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_SET_VALUE);
  SettingsSnapshot loaded = Load();
  DriverSettings wanted = loaded.effective;
  wanted.values[kSettingLatencyMs] = 30;
  EXPECT_EQ(ERROR_ACCESS_DENIED, SaveSettings(loaded, wanted));
  ExpectDword(L"latencyms", 20);
}
#endif

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

// Each range at both of its limits and one step past them.
TEST_F(ParseSettingTextTest, EachRangeEndsAtItsLimits) {
  struct Case {
    const SettingRange *range;
    DWORD minimum, maximum;
  } cases[] = {{&kLatencyRange, 1, 1000}, {&kPeriodsRange, 1, 16}, {&kSampleRateRange, 44100, 768000}};
  for (const Case &c : cases) {
    std::wstring refusal =
        L"Out of range: enter " + std::to_wstring(c.minimum) + L" to " + std::to_wstring(c.maximum) + L".";
    for (DWORD inside : {c.minimum, c.maximum}) {
      EXPECT_TRUE(Parse(std::to_wstring(inside).c_str(), *c.range)) << inside;
      EXPECT_EQ(inside, value);
    }
    for (DWORD outside : {c.minimum - 1, c.maximum + 1}) {
      EXPECT_FALSE(Parse(std::to_wstring(outside).c_str(), *c.range)) << outside;
      EXPECT_EQ(0xDEADBEEFu, value);
      EXPECT_EQ(refusal, message);
    }
  }
}

TEST_F(ParseSettingTextTest, BlanksAroundDigitsAreAllowed) {
  ASSERT_TRUE(Parse(L" \t0999\t ", kLatencyRange));
  EXPECT_EQ(999u, value);
}

TEST_F(ParseSettingTextTest, RefusesTextAndLeavesTheValue) {
  for (const WCHAR *text : {L"", L" \t", L"abc", L"12a", L"-5", L"+5", L"1 2", L"5.0"}) {
    EXPECT_FALSE(Parse(text, kLatencyRange)) << "accepted";
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_STREQ(L"Enter a whole number from 1 to 1000.", message);
  }
  EXPECT_FALSE(Parse(nullptr, kLatencyRange));
}

// Numbers past 32 or 64 bits must not wrap around into the range.
TEST_F(ParseSettingTextTest, LongDigitStringsAreOutOfRange) {
  for (const WCHAR *text : {L"4294967301", L"18446744073709551621", L"99999999999999999999999999999999"}) {
    EXPECT_FALSE(Parse(text, kLatencyRange)) << "accepted";
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_STREQ(L"Out of range: enter 1 to 1000.", message);
  }
}

}  // namespace
