// Pipes and child processes of the simulated machine. Pipes are host pipes and children are host
// processes, so that what a reader sees (chunks as the child writes them, the end of the pipe
// once every writer has closed its end, the child's exit code) comes from a real operating system
// rather than from a model of one.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

#include "process_internal.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/threads.h"
#include "sim/sync.h"
#include "sim/process.h"

extern char **environ;

namespace {

struct PipeEnd : sim::KernelObject {
  PipeEnd(int descriptor, bool isReadEnd) : fd(descriptor), readEnd(isReadEnd) {}
  ~PipeEnd() override { close(fd); }
  const char *Kind() const override { return readEnd ? "pipe-read" : "pipe-write"; }
  int fd;
  bool readEnd;
};

void RememberOrphan(pid_t pid);

struct Process : sim::KernelObject {
  Process(pid_t id, std::string exitCodeFile) : pid(id), exitFile(std::move(exitCodeFile)) {}
  ~Process() override {
    Poll();
    // Closing the last handle does not end a process on Windows; the machine's reset does.
    if (!reaped) RememberOrphan(pid);
    if (!exitFile.empty()) unlink(exitFile.c_str());
  }
  const char *Kind() const override { return "process"; }

  // Collects the exit status if the child has ended; true once it has.
  bool Poll() {
    if (reaped) return true;
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return false;
    reaped = true;
    exitCode = 1;
    if (WIFEXITED(status)) exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) exitCode = WTERMSIG(status) == SIGABRT ? 3 : 0xC0000005;
    if (FILE *f = fopen(exitFile.c_str(), "r")) {
      unsigned long full = 0;
      if (fscanf(f, "%lu", &full) == 1) exitCode = static_cast<DWORD>(full);
      fclose(f);
    }
    return true;
  }

  pid_t pid;
  std::string exitFile;
  bool reaped = false;
  DWORD exitCode = STILL_ACTIVE;
};

struct Thread : sim::KernelObject {
  const char *Kind() const override { return "thread"; }
};

struct State {
  std::recursive_mutex lock;
  std::map<std::wstring, std::string> programs;  // lower-cased Windows path -> host executable
  std::wstring currentFolder;
  std::vector<sim::ProcessLaunch> launches;
  std::vector<HANDLE> pipeHandles;
  std::vector<pid_t> orphans;
  std::vector<DWORD> waitTimeouts;
  DWORD failPipe = 0, failProcess = 0, readLimit = 0, waitCap = 0;
  int startsBeforeFailure = 0;
};

State &S() {
  static State state;
  return state;
}

void RememberOrphan(pid_t pid) {
  std::lock_guard<std::recursive_mutex> guard(S().lock);
  S().orphans.push_back(pid);
}

void EndOrphans() {
  std::vector<pid_t> orphans;
  {
    std::lock_guard<std::recursive_mutex> guard(S().lock);
    orphans.swap(S().orphans);
  }
  for (pid_t pid : orphans) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

struct OrphanCleanup {
  ~OrphanCleanup() { EndOrphans(); }
} orphanCleanup;

void ResetProcesses() {
  EndOrphans();
  auto &s = S();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.programs.clear();
  s.currentFolder = L"C:\\Windows\\System32";
  s.launches.clear();
  s.pipeHandles.clear();
  s.waitTimeouts.clear();
  s.failPipe = s.failProcess = s.readLimit = s.waitCap = 0;
  s.startsBeforeFailure = 0;
}
// After the handle table (order 1), so that processes whose handles it drops are ended too.
sim::ResetRegistration registration(ResetProcesses, 2);

std::wstring Lower(std::wstring text) {
  for (auto &c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

bool IsDriveAbsolute(const std::wstring &path) {
  return path.size() >= 3 && std::iswalpha(static_cast<wint_t>(path[0])) && path[1] == L':' && path[2] == L'\\';
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string Utf8(const std::wstring &text) {
  std::string out;
  if (text.empty()) return out;
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return out;
  out.resize(static_cast<size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

// The program that a command line's first word names, found as Windows' search for executables
// finds it: the folder of the running program, the current folder, then the system folders.
bool FindProgram(const std::wstring &commandLine, std::wstring *windowsPath, std::string *host) {
  size_t i = 0;
  while (i < commandLine.size() && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
  std::wstring word;
  if (i < commandLine.size() && commandLine[i] == L'"') {
    size_t close = commandLine.find(L'"', i + 1);
    word = commandLine.substr(i + 1, close == std::wstring::npos ? std::wstring::npos : close - i - 1);
  } else {
    size_t end = commandLine.find_first_of(L" \t", i);
    word = commandLine.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
  }
  if (word.empty()) return false;
  size_t nameStart = word.find_last_of(L"\\/");
  nameStart = nameStart == std::wstring::npos ? 0 : nameStart + 1;
  if (word.find(L'.', nameStart) == std::wstring::npos) word += L".exe";

  std::vector<std::wstring> candidates;
  if (word.find_first_of(L"\\/:") != std::wstring::npos) {
    candidates.push_back(sim::FullPath(word));
  } else {
    wchar_t self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring selfPath(self, n);
    size_t slash = selfPath.find_last_of(L'\\');
    if (slash != std::wstring::npos) candidates.push_back(selfPath.substr(0, slash + 1) + word);
    candidates.push_back(sim::FullPath(word));
    candidates.push_back(L"C:\\Windows\\System32\\" + word);
    candidates.push_back(L"C:\\Windows\\System\\" + word);
    candidates.push_back(L"C:\\Windows\\" + word);
  }
  auto &s = S();
  for (auto &candidate : candidates) {
    auto it = s.programs.find(Lower(candidate));
    if (it != s.programs.end()) {
      *windowsPath = candidate;
      *host = it->second;
      return true;
    }
  }
  return false;
}

// The pipe end behind a handle, if the child may inherit it.
std::shared_ptr<PipeEnd> InheritablePipe(HANDLE handle, BOOL inheritHandles) {
  if (!inheritHandles || !handle) return nullptr;
  auto pipe = sim::LookupHandleAs<PipeEnd>(handle);
  if (!pipe || !(sim::HandleFlags(handle) & HANDLE_FLAG_INHERIT)) return nullptr;
  return pipe;
}

}  // namespace

namespace sim {

void InstallProgram(const std::wstring &windowsPath, const std::string &hostExecutable) {
  std::lock_guard<std::recursive_mutex> guard(S().lock);
  S().programs[Lower(FullPath(windowsPath))] = hostExecutable;
}

void RemoveProgram(const std::wstring &windowsPath) {
  std::lock_guard<std::recursive_mutex> guard(S().lock);
  S().programs.erase(Lower(FullPath(windowsPath)));
}

void SetCurrentFolder(const std::wstring &path) {
  std::lock_guard<std::recursive_mutex> guard(S().lock);
  S().currentFolder = FullPath(path);
}

std::wstring CurrentFolder() {
  std::lock_guard<std::recursive_mutex> guard(S().lock);
  return S().currentFolder;
}

std::wstring FullPath(const std::wstring &path) {
  std::wstring p = path;
  for (auto &c : p)
    if (c == L'/') c = L'\\';
  std::wstring base = CurrentFolder();
  std::wstring combined;
  if (IsDriveAbsolute(p)) {
    combined = p;
  } else if (!p.empty() && p[0] == L'\\') {
    combined = base.substr(0, 2) + p;
  } else {
    combined = base + L"\\" + p;
  }
  // Resolve "." and ".." so that no path leaves its drive.
  std::vector<std::wstring> parts;
  size_t pos = 3;
  while (pos <= combined.size()) {
    size_t next = combined.find(L'\\', pos);
    if (next == std::wstring::npos) next = combined.size();
    std::wstring part = combined.substr(pos, next - pos);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  std::wstring out = combined.substr(0, 3);
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? L"\\" : L"") + parts[i];
  return out;
}

const std::vector<ProcessLaunch> &ProcessLaunches() { return S().launches; }

void FailCreatePipe(DWORD error) { S().failPipe = error; }
void FailCreateProcess(DWORD error, int successes) {
  S().failProcess = error;
  S().startsBeforeFailure = successes;
}
void SetPipeReadLimit(DWORD bytes) { S().readLimit = bytes; }
void CapProcessWaits(DWORD milliseconds) { S().waitCap = milliseconds; }
const std::vector<DWORD> &ProcessWaitTimeouts() { return S().waitTimeouts; }

}  // namespace sim

extern "C" {

BOOL WINAPI CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES pipeAttributes, DWORD) {
  auto &s = S();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!readPipe || !writePipe) return Fail(ERROR_INVALID_PARAMETER);
  if (s.failPipe) {
    DWORD error = s.failPipe;
    s.failPipe = 0;
    return Fail(error);
  }
  int fds[2];
  // Close-on-exec: a child receives only what CreateProcessW hands it.
  if (pipe2(fds, O_CLOEXEC) != 0) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  DWORD flags = pipeAttributes && pipeAttributes->bInheritHandle ? HANDLE_FLAG_INHERIT : 0;
  *readPipe = sim::NewHandle(std::make_shared<PipeEnd>(fds[0], true), flags);
  *writePipe = sim::NewHandle(std::make_shared<PipeEnd>(fds[1], false), flags);
  s.pipeHandles.push_back(*readPipe);
  s.pipeHandles.push_back(*writePipe);
  return TRUE;
}

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                           LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
  auto &s = S();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!startupInfo || !processInformation || (!applicationName && !commandLine)) return Fail(ERROR_INVALID_PARAMETER);
  if (applicationName) sim::Unimplemented("CreateProcessW with an application name");
  if (processAttributes || threadAttributes) sim::Unimplemented("CreateProcessW with security attributes");
  if (environment) sim::Unimplemented("CreateProcessW with an environment block");
  if (currentDirectory) sim::Unimplemented("CreateProcessW with a current directory");
  if (creationFlags & ~static_cast<DWORD>(CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT))
    sim::Unimplemented("CreateProcessW with these creation flags");
  if (startupInfo->dwFlags & ~static_cast<DWORD>(STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW))
    sim::Unimplemented("CreateProcessW with these start-up flags");
  if (!(startupInfo->dwFlags & STARTF_USESTDHANDLES))
    sim::Unimplemented("CreateProcessW without STARTF_USESTDHANDLES (a console for the child)");
  if (s.failProcess && s.startsBeforeFailure == 0) {
    DWORD error = s.failProcess;
    s.failProcess = 0;
    return Fail(error);
  }
  std::wstring line(commandLine);
  std::wstring program;
  std::string host;
  if (!FindProgram(line, &program, &host)) return Fail(ERROR_FILE_NOT_FOUND);

  sim::ProcessLaunch launch;
  launch.program = program;
  launch.commandLine = line;
  launch.applicationNameNull = applicationName == nullptr;
  launch.inheritHandles = inheritHandles != FALSE;
  launch.creationFlags = creationFlags;
  launch.environmentNull = environment == nullptr;
  launch.currentDirectoryNull = currentDirectory == nullptr;
  launch.startupSize = startupInfo->cb;
  launch.startupFlags = startupInfo->dwFlags;
  launch.showWindow = startupInfo->wShowWindow;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  HANDLE standard[3] = {startupInfo->hStdInput, startupInfo->hStdOutput, startupInfo->hStdError};
  std::string *kinds[3] = {&launch.stdInput, &launch.stdOutput, &launch.stdError};
  for (int fd = 0; fd < 3; ++fd) {
    auto pipe = InheritablePipe(standard[fd], inheritHandles);
    if (pipe) {
      posix_spawn_file_actions_adddup2(&actions, pipe->fd, fd);
      *kinds[fd] = pipe->Kind();
    } else {
      // No handle, or one the child cannot inherit: its standard handle leads nowhere.
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
      *kinds[fd] = "null";
    }
  }
  // Every other inheritable handle goes to the child as well, as it does on Windows; it keeps a
  // pipe open for as long as the child lives.
  std::vector<int> extra;
  if (inheritHandles) {
    for (HANDLE handle : s.pipeHandles) {
      auto pipe = InheritablePipe(handle, TRUE);
      if (!pipe) continue;
      launch.inherited.push_back(pipe->Kind());
      // A handle that is also a standard handle is one handle in the child, not a second copy.
      bool standardToo = false;
      for (HANDLE std : standard) standardToo = standardToo || std == handle;
      if (!standardToo && fcntl(pipe->fd, F_SETFD, 0) == 0) extra.push_back(pipe->fd);
    }
  }

  char exitTemplate[] = "/tmp/vantrel-sim-exit-XXXXXX";
  int exitFd = mkstemp(exitTemplate);
  if (exitFd >= 0) close(exitFd);
  std::string exitFile = exitFd >= 0 ? exitTemplate : "";
  if (exitFd >= 0) unlink(exitTemplate);

  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "VANTREL_SIM_", 12) != 0) env.push_back(*e);
  env.push_back("VANTREL_SIM_COMMAND_LINE=" + Utf8(line));
  env.push_back("VANTREL_SIM_EXIT_CODE_FILE=" + exitFile);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string argv0 = host;
  char *argv[] = {&argv0[0], nullptr};

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, host.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : extra) fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (spawned != 0) return Fail(spawned == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);

  processInformation->hProcess = sim::NewHandle(std::make_shared<Process>(pid, exitFile));
  processInformation->hThread = sim::NewHandle(std::make_shared<Thread>());
  processInformation->dwProcessId = static_cast<DWORD>(pid);
  processInformation->dwThreadId = static_cast<DWORD>(pid);
  s.launches.push_back(launch);
  if (s.failProcess) --s.startsBeforeFailure;
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
                     LPOVERLAPPED overlapped) {
  if (overlapped) sim::Unimplemented("ReadFile with an OVERLAPPED record");
  // Windows writes the count through this pointer unconditionally for a synchronous read.
  if (!numberOfBytesRead) sim::Unimplemented("ReadFile without a count of bytes read");
  *numberOfBytesRead = 0;
  auto object = sim::LookupHandle(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  auto pipe = std::dynamic_pointer_cast<PipeEnd>(object);
  if (!pipe) sim::Unimplemented("ReadFile on this kind of object");
  if (!pipe->readEnd) return Fail(ERROR_ACCESS_DENIED);
  if (numberOfBytesToRead == 0) return TRUE;
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
  DWORD limit = S().readLimit;
  size_t want = limit && limit < numberOfBytesToRead ? limit : numberOfBytesToRead;
  ssize_t got;
  do {
    got = read(pipe->fd, buffer, want);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Fail(ERROR_GEN_FAILURE);
  // Every writer has closed its end.
  if (got == 0) return Fail(ERROR_BROKEN_PIPE);
  *numberOfBytesRead = static_cast<DWORD>(got);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = sim::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto process = std::dynamic_pointer_cast<Process>(object);
  if (!process) {
    if (auto event = sim::LookupEvent(handle)) return sim::WaitForEvent(event, milliseconds);
    if (auto thread = sim::LookupThread(handle)) return sim::WaitForThread(thread, milliseconds);
    if (auto mutex = sim::LookupMutex(handle)) return sim::WaitForMutex(mutex, milliseconds);
    sim::Unimplemented("WaitForSingleObject on this kind of object");
  }
  DWORD cap;
  {
    std::lock_guard<std::recursive_mutex> guard(S().lock);
    S().waitTimeouts.push_back(milliseconds);
    cap = S().waitCap;
  }
  DWORD budget = cap && (milliseconds == INFINITE || cap < milliseconds) ? cap : milliseconds;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (process->Poll()) return WAIT_OBJECT_0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
    if (budget != INFINITE && elapsed >= budget) return WAIT_TIMEOUT;
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  auto object = sim::LookupHandle(process);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!exitCode) return Fail(ERROR_INVALID_PARAMETER);
  if (sim::OpenedProcessExitCode(object, exitCode)) return TRUE;
  auto p = std::dynamic_pointer_cast<Process>(object);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  *exitCode = p->Poll() ? p->exitCode : STILL_ACTIVE;
  return TRUE;
}

}  // extern "C"
