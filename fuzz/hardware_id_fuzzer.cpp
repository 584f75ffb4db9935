// devpurge's hardware-ID matching over arbitrary REG_MULTI_SZ data: missing terminators, empty
// entries, odd lengths, values that do not fit the buffer. A reference walk of the same bytes,
// written from the matching rules, decides; any difference is a crash.
#include <windows.h>

#include <setupapi.h>

#include <string>
#include <vector>

#include "device_removal.h"
#include "fuzz_support.h"
#include "sim/devices.h"
#include "sim/machine.h"

namespace {

const wchar_t kInstanceId[] = L"USB\\VID_F1E5&PID_7A11\\FUZZ0001";
// The buffer the property is read into: 8192 bytes, 4096 UTF-16 units.
const size_t kBufferUnits = 4096;

bool FullIdIgnoringCase(const std::u16string &entry) {
  const std::u16string id = u"USB\\VID_F1E5&PID_7A11&REV_0102";
  if (entry.size() != id.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    char16_t a = entry[i], b = id[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
    if (a != b) return false;
  }
  return true;
}

bool ReferenceMatch(const std::string &bytes) {
  if (bytes.size() > kBufferUnits * 2) return false;  // does not fit: the query fails
  std::u16string units(kBufferUnits, u'\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    units[i / 2] = static_cast<char16_t>(units[i / 2] | (static_cast<uint8_t>(bytes[i]) << (8 * (i % 2))));
  size_t at = 0;
  while (at < kBufferUnits) {
    size_t end = units.find(u'\0', at);
    if (end == std::u16string::npos) end = kBufferUnits;
    std::u16string entry = units.substr(at, end - at);
    if (entry.empty()) return false;  // the empty entry closes the list
    if (FullIdIgnoringCase(entry) || entry.find(u"VID_F1E5&PID_7A11&REV_0102") != std::u16string::npos) return true;
    at = end + 1;
  }
  return false;
}

HDEVINFO set = INVALID_HANDLE_VALUE;
SP_DEVINFO_DATA element;

void Setup() {
  if (set != INVALID_HANDLE_VALUE) return;
  sim::Reset();
  sim::DeviceInstance instance;
  instance.instanceId = kInstanceId;
  instance.hardwareIds = {L"placeholder"};
  sim::AddDeviceInstance(instance);
  set = SetupDiGetClassDevsW(/* ClassGuid */ nullptr, L"USB", /* hwndParent */ nullptr, DIGCF_ALLCLASSES);
  element = SP_DEVINFO_DATA{};
  element.cbSize = sizeof(element);
  FUZZ_CHECK(set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(set, 0, &element), "the device set");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Setup();
  std::string bytes(reinterpret_cast<const char *>(data), size);
  sim::SetHardwareIdBytes(kInstanceId, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  bool matched = MatchesTargetHardwareId(set, element);
  bool expected = ReferenceMatch(bytes);
  FUZZ_CHECK(matched == expected, "%zu bytes: matched %d, expected %d", size, matched, expected);
  return 0;
}
