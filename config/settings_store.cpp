#include "settings_store.h"

#include <wchar.h>

#include "driver.h"

// Latencies past a second buy nothing a player needs; periods past 16 only add delay.
const SettingRange kLatencyRange = {kSettingLatencyMs, 1, 1000};
const SettingRange kPeriodsRange = {kSettingThreads, 1, 16};
// The driver refuses rates below 44100 Hz; 768 kHz is the highest PCM rate a DAC offers.
const SettingRange kSampleRateRange = {kSettingSampleRate, 44100, 768000};

int LoadSettings(SettingsSnapshot *snapshot) {
  ReadDriverSettings(&snapshot->effective);
  for (int i = 0; i < kSettingCount; ++i) snapshot->stored[i] = StoredAs::kMissing;
  snapshot->keyExists = false;

  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status != ERROR_SUCCESS) return -1;
  snapshot->keyExists = true;
  for (int i = 0; i < kSettingCount; ++i) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    status = RegQueryValueExW(key, kSettingDefinitions[i].name, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) continue;
    snapshot->stored[i] = status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)
                              ? StoredAs::kDword
                              : StoredAs::kOtherTypeOrSize;
  }
  RegCloseKey(key);
  return 0;
}

LONG SaveSettings(const SettingsSnapshot &loaded, const DriverSettings &wanted) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  for (int i = 0; i < kSettingCount && status == ERROR_SUCCESS; ++i) {
    if (loaded.keyExists && wanted.values[i] == loaded.effective.values[i]) continue;
    status = RegSetValueExW(key, kSettingDefinitions[i].name, 0, REG_DWORD,
                            reinterpret_cast<const BYTE *>(&wanted.values[i]), sizeof(wanted.values[i]));
  }
  RegCloseKey(key);
  return status;
}

bool ParseSettingText(const WCHAR *text, const SettingRange &range, DWORD *value, WCHAR *message,
                      size_t messageChars) {
  const WCHAR *c = text ? text : L"";
  while (*c == L' ' || *c == L'\t') ++c;
  ULONGLONG number = 0;
  int digits = 0;
  for (; *c >= L'0' && *c <= L'9'; ++c, ++digits) {
    // Saturates, so that any number of digits stays out of range instead of wrapping into it.
    number = number * 10 + static_cast<ULONGLONG>(*c - L'0');
    if (number > 0xFFFFFFFFull) number = 0x100000000ull;
  }
  while (*c == L' ' || *c == L'\t') ++c;
  if (digits == 0 || *c != L'\0') {
    swprintf(message, messageChars, L"Enter a whole number from %lu to %lu.",
             static_cast<unsigned long>(range.minimum), static_cast<unsigned long>(range.maximum));
    return false;
  }
  if (number < range.minimum || number > range.maximum) {
    swprintf(message, messageChars, L"Out of range: enter %lu to %lu.", static_cast<unsigned long>(range.minimum),
             static_cast<unsigned long>(range.maximum));
    return false;
  }
  *value = static_cast<DWORD>(number);
  return true;
}
