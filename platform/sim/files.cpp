// Files of the simulated machine, kept in a private host folder per machine. Windows paths
// ("C:\Folder\Name.ext") map to host paths with the drive letter as the first folder and every
// name lower-cased, so that lookups are case-insensitive as on Windows. The C runtime's text
// mode is emulated: reading turns CR LF into LF and stops at Ctrl+Z, writing turns LF into CR LF.
#include <errno.h>
#include <ftw.h>
#include <share.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "files_internal.h"
#include "sim/machine.h"

namespace {

std::string root;
std::set<std::string> locked;
// The threads that opened each file to write, in order.
std::map<std::string, std::vector<std::thread::id>> writers;
int openFiles = 0;
std::mutex lock;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

void RemoveRoot() {
  if (!root.empty()) nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  root.clear();
}

void ResetFiles() {
  RemoveRoot();
  // Under TMPDIR when it is set (the fuzz runs put it in memory), else /tmp.
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantrel-sim-XXXXXX";
  const char *made = mkdtemp(&pattern[0]);
  if (!made) sim::Unimplemented("mkdtemp for the simulated file system");
  root = made;
  locked.clear();
  writers.clear();
  openFiles = 0;
}
sim::ResetRegistration registration(ResetFiles, 0);

struct RootCleanup {
  ~RootCleanup() { RemoveRoot(); }
} cleanup;

void MakeDirs(const std::string &hostPath) {
  for (size_t pos = root.size() + 1; pos != std::string::npos;) {
    pos = hostPath.find('/', pos + 1);
    mkdir(hostPath.substr(0, pos).c_str(), 0700);
  }
}

std::string Dirname(const std::string &path) { return path.substr(0, path.find_last_of('/')); }

// Text-mode writes: every LF leaves as CR LF.
ssize_t TextWrite(void *cookie, const char *buffer, size_t size) {
  FILE *f = static_cast<FILE *>(cookie);
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] == '\n' && fputc('\r', f) == EOF) return -1;
    if (fputc(buffer[i], f) == EOF) return -1;
  }
  return static_cast<ssize_t>(size);
}

int TextClose(void *cookie) {
  std::lock_guard<std::mutex> guard(lock);
  --openFiles;
  return fclose(static_cast<FILE *>(cookie));
}

int MemClose(void *cookie) {
  std::lock_guard<std::mutex> guard(lock);
  --openFiles;
  return fclose(static_cast<FILE *>(cookie));
}
ssize_t MemRead(void *cookie, char *buffer, size_t size) {
  return static_cast<ssize_t>(fread(buffer, 1, size, static_cast<FILE *>(cookie)));
}

// A file opened for reading in text mode, already translated, served from memory.
struct TranslatedText {
  std::string text;
  size_t position = 0;
};
ssize_t TranslatedRead(void *cookie, char *buffer, size_t size) {
  auto *file = static_cast<TranslatedText *>(cookie);
  size_t count = std::min(size, file->text.size() - file->position);
  std::memcpy(buffer, file->text.data() + file->position, count);
  file->position += count;
  return static_cast<ssize_t>(count);
}
int TranslatedClose(void *cookie) {
  std::lock_guard<std::mutex> guard(lock);
  --openFiles;
  delete static_cast<TranslatedText *>(cookie);
  return 0;
}

FILE *Open(const wchar_t *path, const wchar_t *mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  std::wstring m(mode);
  if (m.find(L',') != std::wstring::npos) return sim::OpenEncodedStream(path, mode);
  std::string host = sim::HostPath(path);
  if (host.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(lock);
  if (locked.count(host)) {
    errno = EACCES;
    return nullptr;
  }
  bool binary = m.find(L'b') != std::wstring::npos;
  bool plus = m.find(L'+') != std::wstring::npos;
  wchar_t kind = m.empty() ? L'?' : m[0];
  if (kind != L'r' && kind != L'w' && kind != L'a') {
    errno = EINVAL;
    return nullptr;
  }
  // Who opened a file to write to it (tests ask which threads touched the log).
  if (kind != L'r' || plus) writers[host].push_back(std::this_thread::get_id());
  if (plus && !binary) sim::Unimplemented("_wfopen in text update mode");
  std::string hostMode(1, static_cast<char>(kind));
  if (plus) hostMode += '+';
  FILE *f = fopen(host.c_str(), hostMode.c_str());
  if (!f) return nullptr;
  if (binary) {
    ++openFiles;
    // Counted by the caller's fclose through a cookie wrapper so leaks are visible.
    cookie_io_functions_t io{MemRead, nullptr, nullptr, MemClose};
    if (kind == L'r' && !plus) return fopencookie(f, "r", io);
    io.read = nullptr;
    io.write = [](void *cookie, const char *buffer, size_t size) -> ssize_t {
      return static_cast<ssize_t>(fwrite(buffer, 1, size, static_cast<FILE *>(cookie)));
    };
    if (plus) sim::Unimplemented("_wfopen in binary update mode");
    return fopencookie(f, kind == L'a' ? "a" : "w", io);
  }
  if (kind == L'r') {
    // Read the whole file, translate it as the C runtime's text mode would, and serve the result.
    std::string text;
    int c;
    while ((c = fgetc(f)) != EOF) {
      if (c == 0x1A) break;
      if (c == '\r') {
        int next = fgetc(f);
        if (next == '\n') {
          text.push_back('\n');
          continue;
        }
        if (next != EOF) ungetc(next, f);
      }
      text.push_back(static_cast<char>(c));
    }
    fclose(f);
    auto *translated = new TranslatedText{std::move(text)};
    cookie_io_functions_t io{TranslatedRead, nullptr, nullptr, TranslatedClose};
    FILE *stream = fopencookie(translated, "r", io);
    if (!stream) {
      delete translated;
      return nullptr;
    }
    ++openFiles;
    return stream;
  }
  ++openFiles;
  cookie_io_functions_t io{nullptr, TextWrite, nullptr, TextClose};
  return fopencookie(f, kind == L'a' ? "a" : "w", io);
}

}  // namespace

namespace sim {

std::string HostPath(const std::wstring &path) {
  if (path.size() < 3 || !std::iswalpha(static_cast<wint_t>(path[0])) || path[1] != L':' || path[2] != L'\\')
    return std::string();
  std::string out = root + "/";
  out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))));
  for (size_t i = 2; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c == L'\\') {
      if (out.back() != '/') out.push_back('/');
      continue;
    }
    if (c == L'/' || c < 0x20) return std::string();
    if (c < 0x80) {
      out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    } else {
      char utf8[8];
      int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof(utf8), nullptr, nullptr);
      out.append(utf8, n > 0 ? static_cast<size_t>(n) : 0);
    }
  }
  return out;
}

void CreateDirectory(const std::wstring &path) {
  std::string host = HostPath(path);
  if (host.empty()) Unimplemented("CreateDirectory outside a drive");
  MakeDirs(host + "/");
}

void WriteFile(const std::wstring &path, const std::string &bytes) {
  std::string host = HostPath(path);
  if (host.empty()) Unimplemented("WriteFile outside a drive");
  MakeDirs(Dirname(host) + "/");
  FILE *f = fopen(host.c_str(), "wb");
  if (!f) Unimplemented("WriteFile could not write the host file");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

bool ReadFile(const std::wstring &path, std::string *bytes) {
  std::string host = HostPath(path);
  FILE *f = host.empty() ? nullptr : fopen(host.c_str(), "rb");
  if (!f) return false;
  bytes->clear();
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) bytes->append(buffer, n);
  fclose(f);
  return true;
}

bool FileExists(const std::wstring &path) {
  std::string host = HostPath(path);
  struct stat st;
  return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void LockFile(const std::wstring &path) {
  std::lock_guard<std::mutex> guard(lock);
  locked.insert(HostPath(path));
}

bool HostFileLocked(const std::string &hostPath) {
  std::lock_guard<std::mutex> guard(lock);
  return locked.count(hostPath) != 0;
}

void CountOpenFile(int delta) {
  std::lock_guard<std::mutex> guard(lock);
  openFiles += delta;
}

std::vector<std::thread::id> FileWriters(const std::wstring &path) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = writers.find(HostPath(path));
  return it == writers.end() ? std::vector<std::thread::id>() : it->second;
}

int OpenFiles() {
  std::lock_guard<std::mutex> guard(lock);
  return openFiles;
}

}  // namespace sim

extern "C" {

FILE *_wfsopen(const wchar_t *path, const wchar_t *mode, int shareFlag) {
  if (shareFlag != _SH_DENYNO && shareFlag != _SH_DENYRD && shareFlag != _SH_DENYWR && shareFlag != _SH_DENYRW) {
    errno = EINVAL;
    return nullptr;
  }
  return Open(path, mode);
}

FILE *_wfopen(const wchar_t *path, const wchar_t *mode) { return Open(path, mode); }

int _wremove(const wchar_t *path) {
  std::string host = sim::HostPath(path ? path : L"");
  if (host.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::remove(host.c_str());
}

BOOL WINAPI GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID information) {
  if (infoLevel != GetFileExInfoStandard || !information) sim::Unimplemented("GetFileAttributesExW level");
  std::string host = sim::HostPath(fileName ? fileName : L"");
  struct stat st;
  if (host.empty() || stat(host.c_str(), &st) != 0) {
    SetLastError(host.empty() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto *data = static_cast<WIN32_FILE_ATTRIBUTE_DATA *>(information);
  *data = WIN32_FILE_ATTRIBUTE_DATA{};
  data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  ULONGLONG size = S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  if (flags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING)) sim::Unimplemented("MoveFileExW flags");
  std::string from = sim::HostPath(existingFileName ? existingFileName : L"");
  std::string to = sim::HostPath(newFileName ? newFileName : L"");
  struct stat st;
  if (from.empty() || to.empty() || stat(from.c_str(), &st) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!(flags & MOVEFILE_REPLACE_EXISTING) && stat(to.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (sim::HostFileLocked(from) || ::rename(from.c_str(), to.c_str()) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
