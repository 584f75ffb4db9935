// The driver's eight per-user settings and the one routine that reads them as the driver does.
// The settings program shows what this routine yields, so the two can never disagree.
#pragma once

#include <windows.h>

enum SettingId {
  kSettingSamples,
  kSettingThreads,
  kSettingBuffers,
  kSettingLatencyMs,
  kSettingFifoSize,
  kSettingSampleRate,
  // Not 0: before a stream opens, the endpoint's Windows default format is set to the stream's.
  kSettingFollowRate,
  // Not 0: the driver appends what it does to its log file (driver_log.h).
  kSettingLog,
  kSettingCount
};

struct SettingDefinition {
  const WCHAR *name;
  DWORD withoutKey;  // the key cannot be opened
  DWORD fallback;    // the key opens but this value cannot be read
};

// In the order the driver reads them.
extern const SettingDefinition kSettingDefinitions[kSettingCount];

struct DriverSettings {
  DWORD values[kSettingCount];
};

// Each value is queried straight into its slot with a data size of 4 bytes and its registry type
// unchecked: a value shorter than 4 bytes only overwrites the low bytes of the default, a missing
// or wider one takes its fallback. Without the key every value keeps its first default.
void ReadDriverSettings(DriverSettings *settings);
