#include "device_choice.h"

#include <stdio.h>
#include <wchar.h>

#include "identity.h"

LONG FindPlaybackDevice(const ma_device_info *devices, ma_uint32 count, const WCHAR *description, bool list) {
  if (!devices || !description) return -1;
  for (ma_uint32 i = 0; i < count; ++i) {
    if (list) printf("%d - %s\n", static_cast<int>(i), devices[i].name);
    LPOLESTR name = nullptr;
    bool match = SUCCEEDED(AnsiToTaskString(devices[i].name, &name)) && name && wcsstr(name, description);
    CoTaskMemFree(name);
    if (match) return static_cast<LONG>(i);
  }
  return -1;
}
