// Loaded modules of the current process, and its WOW64 status.
#include <cwctype>
#include <map>

#include "sim/machine.h"

namespace {

struct Module {
  std::wstring path;
};

struct Modules {
  std::wstring executable;
  std::map<uintptr_t, Module> loaded;
  uintptr_t next = 0x10000000;
  bool wow64Available = true;
  bool wow64 = false;
};

Modules &Mods() {
  static Modules modules;
  return modules;
}

const uintptr_t kExecutableHandle = 0x00400000;
const char kIsWow64ProcessName[] = "IsWow64Process";

std::wstring Lower(std::wstring text) {
  for (auto &c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

std::wstring FileNameOf(const std::wstring &path) {
  auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void ResetModules() {
  auto &m = Mods();
  m.executable = L"C:\\Program Files\\Host\\host.exe";
  m.loaded.clear();
  m.next = 0x10000000;
  m.wow64Available = true;
  m.wow64 = false;
  sim::LoadModule(L"C:\\Windows\\System32\\kernel32.dll");
  sim::CreateDirectory(L"C:\\Program Files\\Host");
}
sim::ResetRegistration registration(ResetModules);

BOOL WINAPI IsWow64ProcessStub(HANDLE process, PBOOL wow64) {
  if (!wow64 || process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *wow64 = Mods().wow64 ? TRUE : FALSE;
  return TRUE;
}

}  // namespace

namespace sim {

void SetExecutablePath(const std::wstring &path) { Mods().executable = path; }

HMODULE LoadModule(const std::wstring &path) {
  auto &m = Mods();
  uintptr_t handle = m.next;
  m.next += 0x100000;
  m.loaded[handle] = Module{path};
  return reinterpret_cast<HMODULE>(handle);
}

void SetWow64(bool available, bool wow64) {
  Mods().wow64Available = available;
  Mods().wow64 = wow64;
  // Only 64-bit Windows runs WOW64 processes, and it always has the 32-bit view's roots.
  if (wow64) {
    CreateRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node");
    CreateRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Wow6432Node\\CLSID");
  }
}

bool ProcessIsWow64() { return Mods().wow64Available && Mods().wow64; }

}  // namespace sim

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  auto &m = Mods();
  if (!moduleName) return reinterpret_cast<HMODULE>(kExecutableHandle);
  // A name without an extension means the .dll of that name; a name with a folder is a full path.
  std::wstring wanted = Lower(moduleName);
  bool fullPath = wanted.find(L'\\') != std::wstring::npos;
  if (FileNameOf(wanted).find(L'.') == std::wstring::npos) wanted += L".dll";
  for (auto &entry : m.loaded) {
    std::wstring candidate = Lower(entry.second.path);
    if (!fullPath) candidate = FileNameOf(candidate);
    if (candidate == wanted) return reinterpret_cast<HMODULE>(entry.first);
  }
  std::wstring exe = Lower(fullPath ? m.executable : FileNameOf(m.executable));
  if (exe == wanted) return reinterpret_cast<HMODULE>(kExecutableHandle);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  auto &m = Mods();
  const std::wstring *path = nullptr;
  uintptr_t handle = reinterpret_cast<uintptr_t>(module);
  if (!module || handle == kExecutableHandle) {
    path = &m.executable;
  } else {
    auto it = m.loaded.find(handle);
    if (it == m.loaded.end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = &it->second.path;
  }
  if (size == 0 || !fileName) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  DWORD length = static_cast<DWORD>(path->size());
  if (length < size) {
    wmemcpy(fileName, path->c_str(), length + 1);
    return length;
  }
  // Truncated: the buffer holds size - 1 characters and a terminator, and the call returns size.
  wmemcpy(fileName, path->c_str(), size - 1);
  fileName[size - 1] = L'\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  auto &m = Mods();
  auto it = m.loaded.find(reinterpret_cast<uintptr_t>(module));
  if (it == m.loaded.end()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  bool isKernel32 = Lower(FileNameOf(it->second.path)) == L"kernel32.dll";
  if (isKernel32 && procName && m.wow64Available && std::string(procName) == kIsWow64ProcessName)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&IsWow64ProcessStub));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64) { return IsWow64ProcessStub(process, wow64); }

}  // extern "C"
