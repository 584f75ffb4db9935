// The live status of each driver object, for the settings program of either bitness.
//
// Every driver object that a host has initialised keeps one named block of shared memory,
// "Local\halvane103.ASIO.Status.<process id>.<serial>", that says what the host asked for, what
// the endpoint runs and whether that is bit-perfect, and how the stream is doing. A reader finds
// the blocks through one shared index block, "Local\halvane103.ASIO.Status.Index", whose slots
// name the live blocks by process id and serial and which a named mutex guards. Nothing is kept
// in the registry: a block lives exactly as long as a handle to it, so a host that crashes takes
// its block with it, and the slot it left names a block that no longer opens, which readers skip
// and the next writer takes over. Enumerating names by trying a range of process ids would be
// slow and could still miss one.
//
// The layout is made of 32-bit words and UTF-16 / ANSI text only, at fixed offsets, so that a
// 32-bit and a 64-bit process read it alike. A block's record is written under a sequence count
// that is odd while it changes: a reader copies it and reads again when the count changed, and
// the writer never waits for a reader.
#pragma once

#include <windows.h>

#include <stddef.h>

#include <atomic>
#include <mutex>

#include "driver_log.h"

enum : UINT32 {
  kStatusMagic = 0x31535456,  // "VTS1"
  kStatusIndexSlots = 64,
  kStatusHostNameChars = 64,
  kStatusReasonChars = 128,
};

enum DriverStatusState : UINT32 {
  kStatusInitialised = 1,  // init ran; no buffers
  kStatusPrepared = 2,     // buffers exist, no stream runs
  kStatusRunning = 3,      // a stream was started and not stopped
  kStatusClosed = 4,       // the object is going away
};

// What the endpoint runs; numbered as miniaudio numbers its formats.
enum StatusSampleFormat : UINT32 {
  kStatusFormatUnknown = 0,
  kStatusFormatU8 = 1,
  kStatusFormatS16 = 2,
  kStatusFormatS24 = 3,
  kStatusFormatS32 = 4,
  kStatusFormatF32 = 5,
};

enum StatusVerdict : UINT32 {
  kStatusNoStream = 0,    // no stream was opened yet
  kStatusBitPerfect = 1,  // the words reach the device as the host wrote them
  kStatusConverted = 2,   // PCM that plays converted
  kStatusRefused = 3,     // start refused (DSD that would be converted, or no stream could be opened)
};

struct DriverStatusRecord {
  UINT32 processId;
  UINT32 serial;
  UINT32 hostBits;  // 32 or 64
  UINT32 state;     // DriverStatusState
  UINT16 hostName[kStatusHostNameChars];  // the host's program file name, UTF-16, terminated
  UINT32 askedRate;    // Hz, as the host set it (the one-bit rate in DSD mode)
  UINT32 askedDsd;     // 0: 32-bit integer PCM, 1: native DSD
  UINT32 endpointRate;
  UINT32 endpointFormat;  // StatusSampleFormat
  UINT32 endpointChannels;
  UINT32 verdict;         // StatusVerdict
  UINT32 bufferSize;      // as getBufferSize offers it (one-bit samples in DSD mode)
  UINT32 latencyMicroseconds;  // getLatencies' output latency, in time
  UINT32 periodsPlayed;   // of the stream started last
  UINT32 latePeriods;     // of the stream started last; see DriverStatus::CountPeriod
  UINT32 deviceLost;      // 1: the stream stopped because the device went away
  UINT32 reserved;
  char reason[kStatusReasonChars];  // why it is converted or refused: the host's error text
};

struct DriverStatusBlock {
  UINT32 magic;
  UINT32 recordBytes;
  UINT32 sequence;  // odd while the record changes
  UINT32 reserved;
  DriverStatusRecord record;
};

struct DriverStatusIndex {
  UINT32 magic;
  UINT32 slots;
  struct Slot {
    UINT32 processId;  // 0: free
    UINT32 serial;
  } slot[kStatusIndexSlots];
};

static_assert(offsetof(DriverStatusRecord, hostName) == 16, "status layout");
static_assert(offsetof(DriverStatusRecord, askedRate) == 144, "status layout");
static_assert(offsetof(DriverStatusRecord, periodsPlayed) == 176, "status layout");
static_assert(offsetof(DriverStatusRecord, reason) == 192, "status layout");
static_assert(sizeof(DriverStatusRecord) == 320, "status layout");
static_assert(offsetof(DriverStatusBlock, record) == 16 && sizeof(DriverStatusBlock) == 336, "status layout");
static_assert(offsetof(DriverStatusIndex, slot) == 8 && sizeof(DriverStatusIndex) == 8 + 8 * kStatusIndexSlots,
              "status layout");

// The names, with room for the longest.
enum { kStatusNameChars = 80 };
extern const WCHAR kStatusIndexName[];
extern const WCHAR kStatusLockName[];
void StatusBlockName(UINT32 processId, UINT32 serial, WCHAR (&name)[kStatusNameChars]);

// Reads a block's record consistently: false when the block is no status block or kept changing
// for longer than a reader waits.
bool ReadStatusBlock(const DriverStatusBlock *block, DriverStatusRecord *record);

// The writing side, one per driver object.
class DriverStatus {
 public:
  // Makes the block, lists it in the index and starts the driver thread that publishes the
  // stream's counters about every kStatusRefreshMs and drains the object's log queue. Null when
  // any of it fails: the driver then plays without a status (and the stream thread's log lines).
  static DriverStatus *Open(bool logOn);
  // The object goes. The thread takes the block out of the index and ends; with `wait` the caller
  // waits for that (not on the stream thread, under the loader lock or at process exit). The
  // status must not be used afterwards.
  void Close(bool wait);

  // Host threads: everything but the counters, which are kept.
  void Publish(const DriverStatusRecord &fields);

  // Before a stream starts (no stream thread runs): the counters go back to 0, and a period
  // counts as late when its callback comes more than `lateAfterMicroseconds`, plus a step of the
  // system's millisecond clock, after the one before.
  void ResetCounters(ULONGLONG lateAfterMicroseconds);
  // The stream thread, at the start of each period, with the time stamp (timeGetTime) the period
  // takes for the host anyway: counter updates only, no clock of its own.
  void CountPeriod(DWORD milliseconds) {
    UINT32 played = periodsPlayed.load(std::memory_order_relaxed);
    // Unsigned: right across the clock's wrap after 49.7 days.
    if (played != 0 && milliseconds - lastPeriodMs.load(std::memory_order_relaxed) >
                           lateAfterMs.load(std::memory_order_relaxed))
      latePeriods.store(latePeriods.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    lastPeriodMs.store(milliseconds, std::memory_order_relaxed);
    periodsPlayed.store(played + 1, std::memory_order_relaxed);
  }
  // The stream thread, when the device went away.
  void NoteDeviceLost() { deviceLost.store(1, std::memory_order_relaxed); }

  UINT32 Serial() const { return serial; }
  // What the stream thread reports for the log goes through here (driver_log.h).
  DriverLogQueue &LogQueue() { return logQueue; }

 private:
  DriverStatus() = default;
  ~DriverStatus();
  static void Serve(void *self);
  void serve();
  bool listInIndex();
  void leaveIndex();
  void write();

  UINT32 serial = 0;
  HANDLE block = nullptr;
  DriverStatusBlock *view = nullptr;
  HANDLE index = nullptr;
  DriverStatusIndex *indexView = nullptr;
  HANDLE indexLock = nullptr;
  LONG slot = -1;
  HANDLE wake = nullptr;
  HANDLE thread = nullptr;
  std::atomic<bool> quitting{false};
  DriverLogQueue logQueue;
  // Host threads and the thread publish under this lock; `fields` is what the host side said last.
  std::mutex lock;
  DriverStatusRecord fields = {};
  std::atomic<UINT32> periodsPlayed{0};
  std::atomic<UINT32> latePeriods{0};
  std::atomic<UINT32> deviceLost{0};
  std::atomic<DWORD> lastPeriodMs{0};
  std::atomic<DWORD> lateAfterMs{0};
};

enum { kStatusRefreshMs = 250 };
