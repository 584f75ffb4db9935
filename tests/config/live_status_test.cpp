// The settings program's reader of the driver objects' shared status, on real shared memory under
// Wine as well as on the simulated machine.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "driver_status.h"
#include "live_status.h"
#include "machine.h"

namespace {

class LiveStatusTest : public MachineTest {};

DriverStatusRecord Playing(UINT32 verdict, const char *reason) {
  DriverStatusRecord record = {};
  record.state = kStatusRunning;
  record.askedRate = 44100;
  record.endpointRate = 48000;
  record.endpointFormat = kStatusFormatF32;
  record.endpointChannels = 2;
  record.verdict = verdict;
  record.bufferSize = 220;
  record.latencyMicroseconds = 9977;
  snprintf(record.reason, sizeof(record.reason), "%s", reason);
  return record;
}

// Two objects are listed with what each published last; one that goes is no longer listed, and a
// slot left by a process that ended without leaving the index is passed over.
TEST_F(LiveStatusTest, EveryLiveObjectIsListedAndOnlyThose) {
  DriverStatus *first = DriverStatus::Open(false);
  DriverStatus *second = DriverStatus::Open(false);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  first->Publish(Playing(kStatusBitPerfect, ""));
  second->Publish(Playing(kStatusConverted, "Not bit-perfect: because"));

  // A crashed host's slot: its block went with its process.
  HANDLE index = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kStatusIndexName);
  ASSERT_NE(nullptr, index);
  auto *slots = static_cast<DriverStatusIndex *>(MapViewOfFile(index, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DriverStatusIndex)));
  ASSERT_NE(nullptr, slots);
  slots->slot[kStatusIndexSlots - 1].processId = 0x7FFFFFF0;
  slots->slot[kStatusIndexSlots - 1].serial = 1;

  DriverStatusRecord records[4];
  ASSERT_EQ(2u, ReadLiveStatuses(records, 4));
  EXPECT_EQ(first->Serial(), records[0].serial);
  EXPECT_EQ(second->Serial(), records[1].serial);
  EXPECT_EQ(GetCurrentProcessId(), records[1].processId);
  WCHAR text[256];
  DescribeVerdict(records[0], text, _countof(text));
  EXPECT_EQ(std::wstring(L"bit-perfect"), text);
  DescribeVerdict(records[1], text, _countof(text));
  EXPECT_EQ(std::wstring(L"converted: Not bit-perfect: because"), text);

  first->Close(/* wait */ true);
  ASSERT_EQ(1u, ReadLiveStatuses(records, 4));
  EXPECT_EQ(second->Serial(), records[0].serial);
  second->Close(/* wait */ true);
  EXPECT_EQ(0u, ReadLiveStatuses(records, 4));
  UnmapViewOfFile(slots);
  CloseHandle(index);
}

TEST_F(LiveStatusTest, TheSectionSaysWhatTheHostAskedWhatTheEndpointRunsAndHowItGoes) {
  DriverStatusRecord record = Playing(kStatusConverted, "Not bit-perfect: choose 32-bit, 44100 Hz");
  const char host[] = "host.exe";
  for (size_t i = 0; i < sizeof(host); ++i) record.hostName[i] = static_cast<UINT16>(host[i]);
  record.hostBits = 32;
  record.processId = 42;
  record.periodsPlayed = 1234;
  record.latePeriods = 2;
  record.deviceLost = 1;
  WCHAR text[1024];
  DescribeLiveStatuses(&record, 1, text, _countof(text));
  EXPECT_EQ(std::wstring(L"host.exe (32-bit, process 42): playing\r\n"
                         L"  Host asks for 32-bit PCM at 44100 Hz; the endpoint runs 32-bit float, 48000 Hz, 2 ch\r\n"
                         L"  converted: Not bit-perfect: choose 32-bit, 44100 Hz\r\n"
                         L"  Buffer 220 samples, latency 9.9 ms; 1234 periods played, 2 late; the device was lost"),
            text);
  DescribeLiveStatuses(nullptr, 0, text, _countof(text));
  EXPECT_EQ(std::wstring(L"No host has the driver open."), text);
}

}  // namespace
