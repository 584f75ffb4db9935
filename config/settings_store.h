// What the settings program reads, checks and writes in the driver's settings key. Kept apart
// from the window so that the native build tests it against the simulated registry.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "settings.h"

// How one value is stored, which decides whether the program may leave it as it is.
enum class StoredAs {
  kMissing,      // the key has no such value: the driver takes the fallback
  kDword,        // REG_DWORD of 4 bytes, as the program writes it
  kOtherTypeOrSize,  // anything else: the driver reads it anyway, as ReadDriverSettings shows
};

struct SettingsSnapshot {
  bool keyExists;
  // What the driver would read, value by value.
  DriverSettings effective;
  StoredAs stored[kSettingCount];
};

// 0, or -1 when the key exists but cannot be read (the driver then reads the first defaults,
// which the snapshot holds).
int LoadSettings(SettingsSnapshot *snapshot);

// Writes `wanted` over what `loaded` found. A key that did not exist is created with all eight
// values; in an existing key only the values that differ from what the driver read are
// written, so values the program does not edit (and values of an odd type the user did not
// change) stay exactly as they are. 0, or the Win32 error that stopped the write.
LONG SaveSettings(const SettingsSnapshot &loaded, const DriverSettings &wanted);

// The three values the program edits, with the range it accepts for each.
struct SettingRange {
  SettingId id;
  DWORD minimum;
  DWORD maximum;
};
extern const SettingRange kLatencyRange;
extern const SettingRange kPeriodsRange;
extern const SettingRange kSampleRateRange;

// Parses a field's text: decimal digits only, surrounding blanks allowed, within the range.
// True with *value set, or false with `message` holding a sentence for beside the field and
// *value untouched.
bool ParseSettingText(const WCHAR *text, const SettingRange &range, DWORD *value, WCHAR *message,
                      size_t messageChars);
