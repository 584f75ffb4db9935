// Test-facing API for processes, pipes and the current folder of the simulated machine.
//
// A program of the simulated machine is a Windows path bound to a host executable. CreateProcessW
// starts it as a real host process whose standard handles are the pipes the caller hands over,
// so that reads, the pipe's end and exit codes behave as they do on Windows. The started program
// finds its Windows command line in the environment variable VANTREL_SIM_COMMAND_LINE (UTF-8);
// since host exit statuses hold 8 bits, a program that wants to report a full 32-bit exit code
// writes it as decimal text to the file named by VANTREL_SIM_EXIT_CODE_FILE before it exits.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// Binds a Windows path to a host executable; the search for executables finds it there.
void InstallProgram(const std::wstring &windowsPath, const std::string &hostExecutable);
void RemoveProgram(const std::wstring &windowsPath);

// The current folder of the process under test (default "C:\Windows\System32"): relative file
// names and the search for executables start there.
void SetCurrentFolder(const std::wstring &path);
std::wstring CurrentFolder();
// A Windows path made absolute against the current folder, with "/" read as "\".
std::wstring FullPath(const std::wstring &path);

// What each successful CreateProcessW was asked to do.
struct ProcessLaunch {
  std::wstring program;      // the Windows path the search found
  std::wstring commandLine;  // as the caller passed it
  bool applicationNameNull;
  bool inheritHandles;
  DWORD creationFlags;
  bool environmentNull, currentDirectoryNull;
  DWORD startupSize, startupFlags;
  WORD showWindow;
  // What the child's standard handles are: "pipe-read", "pipe-write", "null" (no handle, or one
  // that the child could not inherit).
  std::string stdInput, stdOutput, stdError;
  // Kinds of every handle the child inherited ("pipe-read", "pipe-write"), standard ones included.
  std::vector<std::string> inherited;
};
const std::vector<ProcessLaunch> &ProcessLaunches();

// The next CreatePipe fails with this error (0: it does not).
void FailCreatePipe(DWORD error);
// After `successes` more processes have started, the next CreateProcessW fails with this error.
void FailCreateProcess(DWORD error, int successes = 0);
// Each ReadFile on a pipe returns at most this many bytes (0: no limit), as a writer that
// delivers its output in small pieces would.
void SetPipeReadLimit(DWORD bytes);
// A wait on a process takes at most this much real time before it times out (0: no cap), so that
// tests of the timeout need not wait for it in full. The timeouts asked for are recorded.
void CapProcessWaits(DWORD milliseconds);
const std::vector<DWORD> &ProcessWaitTimeouts();

// Other processes beside the one under test, as OpenProcess and GetProcessTimes show them: each
// start has a creation time later than any before, so an id started again is another process.
// StartOtherProcess with id 0 picks a fresh id; it returns the id.
DWORD StartOtherProcess(DWORD id = 0);
void EndOtherProcess(DWORD id);
// From now on the calls about the current process (GetCurrentProcessId, GetProcessTimes of
// GetCurrentProcess()) answer for this process, which must run. Reset: a process of its own.
void BecomeProcess(DWORD id);

}  // namespace sim
