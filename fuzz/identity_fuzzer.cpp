// The identity-file readers on arbitrary file bytes: any length, any line ends, null bytes,
// the ANSI code page's high bytes. A small reference reads the same bytes the way the file's
// format is defined and says what each reader must answer; any difference is a crash.
#include <windows.h>

#include <objbase.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "identity.h"
#include "sim/machine.h"

namespace {

const wchar_t kModulePath[] = L"C:\\Program Files\\Vantrel\\asio.dll";
const wchar_t kIdentityPath[] = L"C:\\Program Files\\Vantrel\\asio.dll.ini";

// What the readers see of the file: the C runtime's text mode turns CR LF into LF and ends the
// file at Ctrl-Z; of that, the first 4096 bytes; of those, the part before the first null byte.
std::string VisibleText(const std::string &file) {
  std::string text;
  for (size_t i = 0; i < file.size(); ++i) {
    char c = file[i];
    if (c == '\x1A') break;
    if (c == '\r' && i + 1 < file.size() && file[i + 1] == '\n') continue;
    text.push_back(c);
  }
  if (text.size() > 4096) text.resize(4096);
  return text.substr(0, text.find('\0'));
}

// The non-empty lines: what lies between runs of CR and LF.
std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!current.empty()) lines.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

std::wstring FromAnsi(const std::string &line) {
  std::vector<wchar_t> wide(line.size() + 1);
  int count = MultiByteToWideChar(CP_ACP, 0, line.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  FUZZ_CHECK(count > 0, "the ANSI code page converts every byte");
  return std::wstring(wide.data());
}

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  sim::Reset();
  sim::LoadModule(kModulePath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Setup();
  std::string file(reinterpret_cast<const char *>(data), size);
  sim::WriteFile(kIdentityPath, file);
  int liveBefore = sim::LiveTaskAllocations();

  std::vector<std::string> lines = Lines(VisibleText(file));
  CLSID expectedClass = {};
  bool classParses = false;
  if (!lines.empty()) classParses = SUCCEEDED(CLSIDFromString(FromAnsi(lines[0]).c_str(), &expectedClass));

  // LoadClassIdentity: lines 1 and 2; a prefix that does not fit is refused, not cut short.
  CLSID classId;
  memset(&classId, 0x5A, sizeof(classId));
  WCHAR prefix[kDeviceIdPrefixChars];
  wmemset(prefix, L'#', kDeviceIdPrefixChars);
  int classResult = LoadClassIdentity(&classId, prefix);
  bool classExpected = classParses && lines.size() >= 2 && lines[1].size() < kDeviceIdPrefixChars;
  FUZZ_CHECK(classResult == (classExpected ? 0 : -1), "LoadClassIdentity returned %d for %zu lines", classResult,
             lines.size());
  if (classExpected) {
    FUZZ_CHECK(IsEqualGUID(classId, expectedClass), "class identifier differs from line 1");
    FUZZ_CHECK(FromAnsi(lines[1]) == prefix, "prefix \"%s\" differs from line 2", Narrow(prefix).c_str());
  }

  // LoadDriverIdentity: lines 1, 3 and 4.
  WCHAR moduleFileName[MAX_PATH];
  wmemset(moduleFileName, L'#', MAX_PATH);
  LPOLESTR description = reinterpret_cast<LPOLESTR>(1);
  LPOLESTR driverName = reinterpret_cast<LPOLESTR>(1);
  int driverResult = LoadDriverIdentity(moduleFileName, &description, &driverName);
  bool driverExpected = classParses && lines.size() >= 4;
  FUZZ_CHECK(driverResult == (driverExpected ? 0 : -1), "LoadDriverIdentity returned %d for %zu lines", driverResult,
             lines.size());
  FUZZ_CHECK(wcscmp(moduleFileName, L"asio.dll") == 0, "module file name");
  if (driverExpected) {
    FUZZ_CHECK(IsEqualGUID(DriverClassId, expectedClass), "DriverClassId differs from line 1");
    FUZZ_CHECK(driverName && FromAnsi(lines[2]) == driverName, "driver name differs from line 3");
    FUZZ_CHECK(description && FromAnsi(lines[3]) == description, "description differs from line 4");
  } else {
    FUZZ_CHECK(description == nullptr && driverName == nullptr, "a failed read hands out no strings");
  }
  CoTaskMemFree(description);
  CoTaskMemFree(driverName);
  FUZZ_CHECK(sim::LiveTaskAllocations() == liveBefore, "task memory leaked: %d blocks",
             sim::LiveTaskAllocations() - liveBefore);
  FUZZ_CHECK(sim::OpenFiles() == 0, "the identity file was left open");
  return 0;
}
