#include "driver_log.h"

#include <share.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "asio_interface.h"

namespace {

const WCHAR kLogFolder[] = L"\\Vantrel";
const WCHAR kLogFile[] = L"\\Vantrel\\asio.log";
const WCHAR kRotatedSuffix[] = L".1";
const WCHAR kLogLockName[] = L"Local\\halvane103.ASIO.Log.Lock";
// Another process appends one line at a time; one that holds the lock longer is stuck, and the
// line is dropped rather than the host kept waiting.
const DWORD kLogLockMs = 1000;
const size_t kLineChars = 512;

ULONGLONG FileSize(const WCHAR *path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void AppendLine(const char *line, size_t length) {
  WCHAR path[MAX_PATH];
  if (!DriverLogPath(path)) return;
  HANDLE lock = CreateMutexW(nullptr, FALSE, kLogLockName);
  if (!lock) return;
  DWORD waited = WaitForSingleObject(lock, kLogLockMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(lock);
    return;
  }
  if (FileSize(path) + length > kLogCapBytes) {
    WCHAR rotated[MAX_PATH + _countof(kRotatedSuffix)];
    swprintf(rotated, _countof(rotated), L"%ls%ls", path, kRotatedSuffix);
    MoveFileExW(path, rotated, MOVEFILE_REPLACE_EXISTING);
  }
  if (FILE *file = _wfsopen(path, L"ab", _SH_DENYNO)) {
    fwrite(line, 1, length, file);
    fclose(file);
  }
  ReleaseMutex(lock);
  CloseHandle(lock);
}

const char *SelectorName(INT32 selector) {
  switch (selector) {
    case kAsioResetRequest:
      return "kAsioResetRequest";
    case kAsioLatenciesChanged:
      return "kAsioLatenciesChanged";
    default:
      return "selector";
  }
}

}  // namespace

bool DriverLogPath(WCHAR (&path)[MAX_PATH]) {
  WCHAR folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return false;
  size_t length = wcslen(folder);
  if (length + _countof(kLogFile) + _countof(kRotatedSuffix) > MAX_PATH) return false;
  swprintf(path, MAX_PATH, L"%ls%ls", folder, kLogFolder);
  // ERROR_ALREADY_EXISTS is the usual answer.
  SHCreateDirectoryExW(nullptr, path, nullptr);
  swprintf(path, MAX_PATH, L"%ls%ls", folder, kLogFile);
  return true;
}

void WriteDriverLogV(UINT32 serial, const char *format, va_list arguments) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char line[kLineChars];
  int prefix = snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu #%lu] ", now.wYear, now.wMonth,
                        now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                        static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(serial));
  if (prefix < 0) return;
  size_t used = static_cast<size_t>(prefix);
  int text = vsnprintf(line + used, sizeof(line) - used, format, arguments);
  if (text < 0) return;
  used += static_cast<size_t>(text);
  // Cut to the buffer, with room for the line end.
  if (used > sizeof(line) - 3) used = sizeof(line) - 3;
  line[used++] = '\r';
  line[used++] = '\n';
  line[used] = '\0';
  AppendLine(line, used);
}

void WriteDriverLog(UINT32 serial, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteDriverLogV(serial, format, arguments);
  va_end(arguments);
}

bool DriverLogQueue::Push(DriverLogEvent event, INT32 a, INT32 b, INT32 c) {
  if (!Enabled()) return false;
  UINT32 at = pushed.load(std::memory_order_relaxed);
  if (at - taken.load(std::memory_order_acquire) >= kCapacity) {
    dropped.store(dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return false;
  }
  DriverLogRecord &record = ring[at % kCapacity];
  record.event = event;
  record.value[0] = a;
  record.value[1] = b;
  record.value[2] = c;
  // The record is complete before the consumer can see it counted.
  pushed.store(at + 1, std::memory_order_release);
  return true;
}

void WriteMessageSentLog(UINT32 serial, const char *source, long selector, long value) {
  WriteDriverLog(serial, "%s: asioMessage(%s %ld, %ld) sent to the host", source,
                 SelectorName(static_cast<INT32>(selector)), selector, value);
}

void WriteDeviceLostLog(UINT32 serial, const char *source) {
  WriteDriverLog(serial, "%s: the device went away; the stream stopped", source);
}

void DriverLogQueue::Drain() {
  UINT32 owner = serial.load(std::memory_order_relaxed);
  UINT32 end = pushed.load(std::memory_order_acquire);
  for (UINT32 at = taken.load(std::memory_order_relaxed); at != end; ++at) {
    DriverLogRecord record = ring[at % kCapacity];
    // The slot may be written again once it counts as taken.
    taken.store(at + 1, std::memory_order_release);
    switch (record.event) {
      case kLogDeviceLost:
        WriteDeviceLostLog(owner, "stream");
        break;
      case kLogMessageSent:
        WriteMessageSentLog(owner, "stream", record.value[0], record.value[1]);
        break;
      default:
        break;
    }
  }
  UINT32 lost = dropped.load(std::memory_order_relaxed);
  if (lost != droppedReported) {
    WriteDriverLog(owner, "stream: %lu records dropped, the queue was full",
                   static_cast<unsigned long>(lost - droppedReported));
    droppedReported = lost;
  }
}
