// Test-facing API of the simulated machine behind the Windows-API stand-in.
// Every test starts on a fresh machine: sim::Reset() puts every part of it back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// Puts the whole machine back to its initial state. Parts of the simulation register a reset
// routine of their own with RegisterReset, so the machine is reset however many parts it has.
// Parts with a lower `order` are reset first (the file system, order 0, before anything that
// puts files on it).
void Reset();
void RegisterReset(void (*reset)(), int order = 1);

struct ResetRegistration {
  explicit ResetRegistration(void (*reset)(), int order = 1) { RegisterReset(reset, order); }
};

// Calls the stand-in does not implement end the test run loudly rather than succeeding silently.
[[noreturn]] void Unimplemented(const char *call);

// ---- registry ----
// Paths are relative to one of the predefined roots (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, ...);
// HKEY_CLASSES_ROOT is the view of HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
void SetRegValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type,
                 const std::vector<uint8_t> &data);
void SetRegDword(HKEY root, const std::wstring &path, const std::wstring &name, DWORD value);
void SetRegString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text);
void CreateRegKey(HKEY root, const std::wstring &path);
bool RegKeyExists(HKEY root, const std::wstring &path);
bool GetRegValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD *type,
                 std::vector<uint8_t> *data);
// Paths given to these calls are physical: a 32-bit view is reached by naming Wow6432Node.
// In a WOW64 process (SetWow64(true, true)) the registry calls see the 32-bit view, as the
// registry redirector shows it: HKLM\SOFTWARE\<key> is HKLM\SOFTWARE\Wow6432Node\<key> and
// HKCR\CLSID (with the other redirected class keys) is HKCR\Wow6432Node\CLSID; a path that
// names Wow6432Node itself is not redirected again. KEY_WOW64_64KEY and KEY_WOW64_32KEY pick a
// view explicitly.
// Opening this key (or any key below it) fails with the given error.
void DenyRegKey(HKEY root, const std::wstring &path, LONG error = ERROR_ACCESS_DENIED);
// Opening this key asking for any of these rights fails with ERROR_ACCESS_DENIED, as does
// deleting it when DELETE is among them; opening it with fewer rights, or with the default
// access of RegOpenKeyW (MAXIMUM_ALLOWED), succeeds.
void DenyRegKeyAccess(HKEY root, const std::wstring &path, REGSAM denied);
// Key handles opened and not yet closed.
int OpenRegHandles();
// Calls `hook` with the key's name each time RegNotifyChangeKeyValue is asked for a notification,
// just before it takes effect, so that a test can change the registry at that very moment
// (null: no hook).
void OnRegNotifyArmed(void (*hook)(const std::wstring &keyName));

// ---- modules and the current process ----
void SetExecutablePath(const std::wstring &path);
// Loads a module under a full path; GetModuleHandleW finds it by its file name.
HMODULE LoadModule(const std::wstring &path);
// wow64: the process is a 32-bit one on 64-bit Windows (which also makes the 32-bit view's
// Wow6432Node keys exist); available: kernel32 has IsWow64Process.
void SetWow64(bool available, bool wow64);
// True when the registry calls of the current process see the 32-bit view.
bool ProcessIsWow64();

// ---- ANSI code page and conversions ----
// The next `count` calls of MultiByteToWideChar fail with `error`.
void FailMultiByteToWideChar(int count, DWORD error);

// ---- COM task memory ----
// After `successes` more successful allocations, CoTaskMemAlloc returns null (-1: never).
void FailTaskAllocAfter(int successes);
int LiveTaskAllocations();
// Misuses of the apartment calls seen since the last reset: a CoUninitialize on a thread with no
// initialisation left, and a thread that ended still initialised.
int ComApartmentFaults();

// ---- process heap ----
// After `successes` more successful allocations, HeapAlloc returns null (-1: never).
void FailHeapAllocAfter(int successes);
int LiveHeapBlocks();

// ---- the C runtime's aligned blocks ----
// After `successes` more successful allocations, _aligned_malloc returns null (-1: never).
void FailAlignedAllocAfter(int successes);
int LiveAlignedBlocks();

// ---- multimedia timer ----
// timeGetTime reports `milliseconds` from now on; until then, the host's monotonic clock.
void SetTimeGetTime(DWORD milliseconds);
// timeGetTime reports `first`, then one more on every call: a clock that counts its readers.
void CountTimeGetTime(DWORD first);

// ---- shell ----
struct ShellExecuteCall {
  bool ownerIsNull;
  std::wstring verb, file;
  bool parametersNull, directoryNull;
  int showCommand;
};
const std::vector<ShellExecuteCall> &ShellExecuteCalls();

// ---- files ----
// Files live in a private folder of the host per machine; paths are Windows paths ("C:\...")
// compared case-insensitively.
void WriteFile(const std::wstring &path, const std::string &bytes);
bool ReadFile(const std::wstring &path, std::string *bytes);
bool FileExists(const std::wstring &path);
void CreateDirectory(const std::wstring &path);
// Opening the file fails as if another process held it without sharing.
void LockFile(const std::wstring &path);
// The host path that a Windows path maps to (empty when the path is not an absolute drive path).
std::string HostPath(const std::wstring &path);
int OpenFiles();
// The threads that opened the file to write or append (through the C runtime), in order.
std::vector<std::thread::id> FileWriters(const std::wstring &path);

// ---- helpers ----
std::wstring Widen(const std::string &ascii);
std::string Narrow(const std::wstring &ascii);

}  // namespace sim
