#include "identity.h"

#include <share.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

CLSID DriverClassId = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
WCHAR DeviceIdPrefix[kDeviceIdPrefixChars] = {0};

namespace {

// Only this many bytes of the identity file are read.
const size_t kIdentityBytes = 4096;

// The text of an identity file: lines are tokens separated by runs of CR and LF, so empty lines
// do not count.
class IdentityText {
 public:
  // Reads the identity file that belongs to `modulePath`; false when it cannot be opened or is empty.
  bool Read(const WCHAR *modulePath) {
    WCHAR iniPath[MAX_PATH + sizeof(".ini")];
    int written = swprintf(iniPath, _countof(iniPath), L"%ls.ini", modulePath);
    if (written < 0 || static_cast<size_t>(written) >= _countof(iniPath)) return false;
    FILE *file = _wfsopen(iniPath, L"r", _SH_DENYNO);
    if (!file) return false;
    size_t read = fread(text, 1, kIdentityBytes, file);
    fclose(file);
    if (read == 0) return false;
    text[read] = '\0';
    // The text ends at its first null byte, wherever the read ended.
    length = strlen(text);
    return true;
  }

  // The n-th non-empty line (1-based), terminated in place; null when the file has fewer lines.
  const char *Line(int n) {
    size_t pos = 0;
    for (int current = 1;; ++current) {
      while (pos < length && IsLineEnd(text[pos])) ++pos;
      if (pos >= length) return nullptr;
      size_t start = pos;
      while (pos < length && !IsLineEnd(text[pos])) ++pos;
      if (current == n) {
        if (pos < length) text[pos] = '\0';
        return text + start;
      }
    }
  }

 private:
  // Null bytes inside the text are line ends that Line() has already terminated.
  static bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

  char text[kIdentityBytes + 1] = {0};
  size_t length = 0;
};

// Parses line 1 into *classId.
bool ParseClassLine(IdentityText &identity, CLSID *classId) {
  LPOLESTR text = nullptr;
  const char *line = identity.Line(1);
  if (!line || FAILED(AnsiToTaskString(line, &text))) return false;
  HRESULT hr = CLSIDFromString(text, classId);
  CoTaskMemFree(text);
  return SUCCEEDED(hr);
}

bool ConvertLine(IdentityText &identity, int n, LPOLESTR *out) {
  *out = nullptr;
  const char *line = identity.Line(n);
  return line && SUCCEEDED(AnsiToTaskString(line, out));
}

}  // namespace

bool GetDriverModulePath(WCHAR *path, DWORD capacity) {
  if (!path || capacity == 0) return false;
  HMODULE module = GetModuleHandleW(DRIVER_MODULE_NAME);
  DWORD length = GetModuleFileNameW(module, path, capacity);
  // A path that filled the whole buffer was truncated.
  return length > 0 && length < capacity;
}

HRESULT AnsiToTaskString(const char *ansi, LPOLESTR *out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!ansi) return S_OK;
  // One ANSI byte never becomes more than one UTF-16 code unit, in any ANSI code page.
  size_t capacity = strlen(ansi) + 1;
  if (capacity > 0x7FFFFFFF / sizeof(WCHAR)) return E_OUTOFMEMORY;
  LPOLESTR text = static_cast<LPOLESTR>(CoTaskMemAlloc(capacity * sizeof(WCHAR)));
  if (!text) return E_OUTOFMEMORY;
  if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, text, static_cast<int>(capacity)) == 0) {
    HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    CoTaskMemFree(text);
    // A conversion that failed without an error code must still read as a failure.
    return FAILED(hr) ? hr : E_FAIL;
  }
  *out = text;
  return S_OK;
}

int LoadClassIdentity(CLSID *classId, WCHAR (&prefix)[kDeviceIdPrefixChars]) {
  WCHAR modulePath[MAX_PATH];
  if (!classId || !GetDriverModulePath(modulePath, _countof(modulePath))) return -1;
  IdentityText identity;
  if (!identity.Read(modulePath)) return -1;
  if (!ParseClassLine(identity, classId)) return -1;
  LPOLESTR line = nullptr;
  if (!ConvertLine(identity, 2, &line)) return -1;
  // A prefix that does not fit is refused rather than cut short: a shortened prefix would also
  // match devices the file does not name.
  size_t length = wcslen(line);
  int result = -1;
  if (length < kDeviceIdPrefixChars) {
    wmemcpy(prefix, line, length + 1);
    result = 0;
  }
  CoTaskMemFree(line);
  return result;
}

int LoadIdentityAt(const WCHAR *modulePath, CLSID *classId, LPOLESTR *description, LPOLESTR *driverName) {
  if (!modulePath || !classId || !description || !driverName) return -1;
  *description = nullptr;
  *driverName = nullptr;
  IdentityText identity;
  if (!identity.Read(modulePath) || !ParseClassLine(identity, classId)) return -1;
  LPOLESTR name = nullptr;
  LPOLESTR text = nullptr;
  if (!ConvertLine(identity, 3, &name) || !ConvertLine(identity, 4, &text)) {
    CoTaskMemFree(name);
    CoTaskMemFree(text);
    return -1;
  }
  *driverName = name;
  *description = text;
  return 0;
}

int LoadDriverIdentity(WCHAR (&moduleFileName)[MAX_PATH], LPOLESTR *description, LPOLESTR *driverName) {
  if (!description || !driverName) return -1;
  *description = nullptr;
  *driverName = nullptr;
  WCHAR modulePath[MAX_PATH];
  if (!GetDriverModulePath(modulePath, _countof(modulePath))) return -1;
  const WCHAR *slash = wcsrchr(modulePath, L'\\');
  const WCHAR *fileName = slash ? slash + 1 : modulePath;
  wmemcpy(moduleFileName, fileName, wcslen(fileName) + 1);
  return LoadIdentityAt(modulePath, &DriverClassId, description, driverName);
}
