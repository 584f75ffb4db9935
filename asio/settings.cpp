#include "settings.h"

#include "driver.h"

const SettingDefinition kSettingDefinitions[kSettingCount] = {
    {L"samples", 512, 256},  {L"threads", 1, 3},  {L"buffers", 1, 3},
    {L"latencyms", 5, 10},   {L"fifosize", 8, 8}, {L"samplerate", 44100, 44100},
    {L"followrate", 1, 1}, {L"log", 0, 0},
};

void ReadDriverSettings(DriverSettings *settings) {
  for (int i = 0; i < kSettingCount; ++i) settings->values[i] = kSettingDefinitions[i].withoutKey;

  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  for (int i = 0; i < kSettingCount; ++i) {
    static_assert(sizeof(settings->values[i]) == 4, "settings are 4-byte values");
    DWORD size = sizeof(settings->values[i]);
    if (RegQueryValueExW(key, kSettingDefinitions[i].name, nullptr, nullptr,
                         reinterpret_cast<BYTE *>(&settings->values[i]), &size) != ERROR_SUCCESS)
      settings->values[i] = kSettingDefinitions[i].fallback;
  }
  RegCloseKey(key);
}
