// Watches the driver objects' shared status through the settings program's own reader while a host
// plays, for the status scenario: it waits for an object of the named host program that plays,
// follows it until it stops or goes, and prints what it saw.
//   status_watch HOST_PROGRAM SECONDS
// Prints "host: ", "bits: ", "asked: ", "endpoint: ", "verdict: " (as the settings program says it),
// "periods: N readings, rising R times, first F, last L" and "late: L"; exit code 0 when a playing
// object was seen, 1 when none came within SECONDS.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "live_status.h"

namespace {

bool IsHost(const DriverStatusRecord &record, const char *program) {
  for (size_t i = 0; i < kStatusHostNameChars; ++i) {
    WCHAR a = static_cast<WCHAR>(record.hostName[i]);
    WCHAR b = static_cast<WCHAR>(static_cast<unsigned char>(program[i]));
    if (towlower(a) != towlower(b)) return false;
    if (!a) return true;
  }
  return false;
}

void PrintUtf8(const char *label, const WCHAR *text) {
  char utf8[1024];
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr) == 0) utf8[0] = '\0';
  printf("%s%s\n", label, utf8);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: status_watch HOST_PROGRAM SECONDS\n");
    return 2;
  }
  const char *program = argv[1];
  DWORD deadline = GetTickCount() + static_cast<DWORD>(atoi(argv[2])) * 1000u;
  DriverStatusRecord watched = {};
  bool found = false;
  unsigned readings = 0, rising = 0;
  UINT32 first = 0, last = 0;
  for (;;) {
    DriverStatusRecord records[16];
    size_t count = ReadLiveStatuses(records, _countof(records));
    const DriverStatusRecord *playing = nullptr;
    for (size_t i = 0; i < count; ++i)
      if (IsHost(records[i], program) && records[i].state == kStatusRunning &&
          (!found || (records[i].processId == watched.processId && records[i].serial == watched.serial)))
        playing = &records[i];
    if (playing) {
      if (!found) first = playing->periodsPlayed;
      if (found && playing->periodsPlayed > last) ++rising;
      last = playing->periodsPlayed;
      watched = *playing;
      found = true;
      ++readings;
    } else if (found || GetTickCount() > deadline) {
      break;
    }
    Sleep(100);
  }
  if (!found) {
    printf("seen: no playing object of %s\n", program);
    return 1;
  }
  WCHAR text[512];
  size_t i = 0;
  for (; watched.hostName[i] && i + 1 < _countof(text); ++i) text[i] = static_cast<WCHAR>(watched.hostName[i]);
  text[i] = L'\0';
  PrintUtf8("host: ", text);
  printf("bits: %lu\n", static_cast<unsigned long>(watched.hostBits));
  printf("asked: %s %lu Hz\n", watched.askedDsd ? "DSD" : "PCM", static_cast<unsigned long>(watched.askedRate));
  swprintf(text, _countof(text), L"%ls, %lu Hz, %lu ch", StatusFormatName(watched.endpointFormat),
           static_cast<unsigned long>(watched.endpointRate), static_cast<unsigned long>(watched.endpointChannels));
  PrintUtf8("endpoint: ", text);
  DescribeVerdict(watched, text, _countof(text));
  PrintUtf8("verdict: ", text);
  printf("periods: %u readings, rising %u times, first %lu, last %lu\n", readings, rising,
         static_cast<unsigned long>(first), static_cast<unsigned long>(last));
  printf("late: %lu\n", static_cast<unsigned long>(watched.latePeriods));
  return 0;
}
