#include "live_status.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

const WCHAR *StatusFormatName(UINT32 format) {
  switch (format) {
    case kStatusFormatU8:
      return L"8-bit";
    case kStatusFormatS16:
      return L"16-bit";
    case kStatusFormatS24:
      return L"24-bit";
    case kStatusFormatS32:
      return L"32-bit";
    case kStatusFormatF32:
      return L"32-bit float";
    default:
      return L"unknown format";
  }
}

namespace {

const WCHAR *StateName(UINT32 state) {
  switch (state) {
    case kStatusInitialised:
      return L"open, no buffers";
    case kStatusPrepared:
      return L"buffers made, stopped";
    case kStatusRunning:
      return L"playing";
    case kStatusClosed:
      return L"closing";
    default:
      return L"unknown state";
  }
}

// The block's text is the driver's ANSI error text; it is ASCII.
void Widen(const char *text, WCHAR *wide, size_t wideChars) {
  size_t i = 0;
  for (; text[i] && i + 1 < wideChars; ++i) wide[i] = static_cast<unsigned char>(text[i]) < 0x80 ? static_cast<WCHAR>(text[i]) : L'?';
  wide[i] = L'\0';
}

// Appends printf-style to text, which holds `used` characters; cut at the capacity.
void Append(WCHAR *text, size_t textChars, const WCHAR *format, ...) {
  size_t used = wcslen(text);
  if (used + 1 >= textChars) return;
  va_list arguments;
  va_start(arguments, format);
  int written = vswprintf(text + used, textChars - used, format, arguments);
  va_end(arguments);
  // A line cut short by vswprintf leaves the buffer unterminated on some runtimes.
  if (written < 0) text[textChars - 1] = L'\0';
}

}  // namespace

size_t ReadLiveStatuses(DriverStatusRecord *records, size_t capacity) {
  HANDLE index = OpenFileMappingW(FILE_MAP_READ, FALSE, kStatusIndexName);
  if (!index) return 0;
  DriverStatusIndex::Slot slots[kStatusIndexSlots] = {};
  HANDLE lock = CreateMutexW(nullptr, FALSE, kStatusLockName);
  const auto *view = static_cast<const DriverStatusIndex *>(MapViewOfFile(index, FILE_MAP_READ, 0, 0, sizeof(DriverStatusIndex)));
  if (view && lock) {
    DWORD waited = WaitForSingleObject(lock, 2000);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      if (view->magic == kStatusMagic)
        for (UINT32 i = 0; i < kStatusIndexSlots; ++i) slots[i] = view->slot[i];
      ReleaseMutex(lock);
    }
  }
  if (view) UnmapViewOfFile(view);
  if (lock) CloseHandle(lock);
  CloseHandle(index);

  size_t count = 0;
  for (const DriverStatusIndex::Slot &slot : slots) {
    if (slot.processId == 0 || count >= capacity) continue;
    WCHAR name[kStatusNameChars];
    StatusBlockName(slot.processId, slot.serial, name);
    // A slot whose process ended without leaving the index names a block that is gone.
    HANDLE block = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (!block) continue;
    const auto *status = static_cast<const DriverStatusBlock *>(MapViewOfFile(block, FILE_MAP_READ, 0, 0, sizeof(DriverStatusBlock)));
    if (status && ReadStatusBlock(status, &records[count]) && records[count].state != kStatusClosed) ++count;
    if (status) UnmapViewOfFile(status);
    CloseHandle(block);
  }
  return count;
}

void DescribeVerdict(const DriverStatusRecord &record, WCHAR *text, size_t textChars) {
  WCHAR why[kStatusReasonChars];
  Widen(record.reason, why, _countof(why));
  switch (record.verdict) {
    case kStatusBitPerfect:
      swprintf(text, textChars, L"bit-perfect");
      break;
    case kStatusConverted:
      swprintf(text, textChars, L"converted: %ls", why);
      break;
    case kStatusRefused:
      swprintf(text, textChars, L"refused: %ls", why);
      break;
    default:
      swprintf(text, textChars, L"no stream started yet");
      break;
  }
}

void DescribeLiveStatus(const DriverStatusRecord &record, WCHAR *text, size_t textChars) {
  if (!text || textChars == 0) return;
  text[0] = L'\0';
  WCHAR host[kStatusHostNameChars];
  size_t i = 0;
  for (; record.hostName[i] && i + 1 < _countof(host); ++i) host[i] = static_cast<WCHAR>(record.hostName[i]);
  host[i] = L'\0';
  Append(text, textChars, L"%ls (%lu-bit, process %lu): %ls\r\n", host[0] ? host : L"?",
         static_cast<unsigned long>(record.hostBits), static_cast<unsigned long>(record.processId), StateName(record.state));
  Append(text, textChars, L"  Host asks for %ls at %lu Hz", record.askedDsd ? L"native DSD" : L"32-bit PCM",
         static_cast<unsigned long>(record.askedRate));
  if (record.verdict != kStatusNoStream && record.endpointRate != 0)
    Append(text, textChars, L"; the endpoint runs %ls, %lu Hz, %lu ch", StatusFormatName(record.endpointFormat),
           static_cast<unsigned long>(record.endpointRate), static_cast<unsigned long>(record.endpointChannels));
  WCHAR verdict[kStatusReasonChars + 32];
  DescribeVerdict(record, verdict, _countof(verdict));
  Append(text, textChars, L"\r\n  %ls\r\n", verdict);
  const WCHAR *unit = record.askedDsd ? L"one-bit samples" : L"samples";
  Append(text, textChars, L"  Buffer %lu %ls, latency %lu.%lu ms; %lu periods played, %lu late%ls",
         static_cast<unsigned long>(record.bufferSize), unit,
         static_cast<unsigned long>(record.latencyMicroseconds / 1000),
         static_cast<unsigned long>(record.latencyMicroseconds % 1000 / 100),
         static_cast<unsigned long>(record.periodsPlayed), static_cast<unsigned long>(record.latePeriods),
         record.deviceLost ? L"; the device was lost" : L"");
}

void DescribeLiveStatuses(const DriverStatusRecord *records, size_t count, WCHAR *text, size_t textChars) {
  if (!text || textChars == 0) return;
  text[0] = L'\0';
  if (count == 0) {
    swprintf(text, textChars, L"No host has the driver open.");
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    WCHAR one[1024];
    DescribeLiveStatus(records[i], one, _countof(one));
    Append(text, textChars, L"%ls%ls", i ? L"\r\n" : L"", one);
  }
}
