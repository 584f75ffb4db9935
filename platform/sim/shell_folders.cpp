// Folder creation and known folders through the shell, on the simulated machine's file system.
#include <errno.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cwctype>
#include <string>

#include "sim/machine.h"

namespace {

// The longest path the shell creates, terminating zero included.
const size_t kMaxFolderPath = 248;

}  // namespace

extern "C" {

HRESULT WINAPI SHGetFolderPathW(HWND, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  if (folder != CSIDL_LOCAL_APPDATA || token || flags != SHGFP_TYPE_CURRENT)
    sim::Unimplemented("SHGetFolderPathW for another folder, user or flag");
  if (!path) return E_INVALIDARG;
  // The current user's profile, as a fresh Windows installation names it. The shell answers with
  // the path whether or not the folder exists yet.
  const wchar_t kLocalAppData[] = L"C:\\Users\\user\\AppData\\Local";
  wcscpy(path, kLocalAppData);
  return S_OK;
}

int WINAPI SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES *attributes) {
  if (attributes && attributes->lpSecurityDescriptor)
    sim::Unimplemented("SHCreateDirectoryExW with a security descriptor");
  if (!path) return ERROR_BAD_PATHNAME;
  std::wstring p(path);
  for (auto &c : p)
    if (c == L'/') c = L'\\';
  if (p.size() < 3 || !std::iswalpha(static_cast<wint_t>(p[0])) || p[1] != L':' || p[2] != L'\\')
    return ERROR_BAD_PATHNAME;
  while (p.size() > 3 && p.back() == L'\\') p.pop_back();
  if (p.size() + 1 > kMaxFolderPath) return ERROR_FILENAME_EXCED_RANGE;
  // Create each missing level from the drive downwards.
  bool created = false;
  for (size_t pos = 3; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != L'\\') continue;
    std::string host = sim::HostPath(p.substr(0, pos));
    if (host.empty()) return ERROR_PATH_NOT_FOUND;
    struct stat st;
    if (pos == 3 && stat(host.c_str(), &st) != 0) {
      // Drive C: is always there; another drive is there once something was put on it.
      if (std::towupper(static_cast<wint_t>(p[0])) != L'C') return ERROR_PATH_NOT_FOUND;
      mkdir(host.c_str(), 0700);
      continue;
    }
    if (stat(host.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      // A file stands where a folder should be.
      return pos == p.size() ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND;
    }
    if (mkdir(host.c_str(), 0700) != 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    created = true;
  }
  return created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

}  // extern "C"
