// The opt-in log: with the "log" setting on, what a driver object does is appended to
// %LOCALAPPDATA%\Vantrel\asio.log, one line each with the local time, the process id and the
// object's serial. The file is shared by every process and bitness (a named mutex orders the
// appends); at kLogCapBytes it becomes asio.log.1, replacing the one before.
//
// Host threads write their lines themselves. The stream thread never touches the file and never
// waits: it pushes fixed-size records into its object's DriverLogQueue, which the object's status
// thread (driver_status.h) drains into the file.
#pragma once

#include <windows.h>

#include <stdarg.h>

#include <atomic>

enum : ULONG { kLogCapBytes = 1024 * 1024 };

// Whom a thread of the driver other than the stream thread writes for (a watch that tells the
// host something): the object's serial, or nobody while its log is off.
struct DriverLogTarget {
  bool on = false;
  UINT32 serial = 0;
};

// The file's full path; false when the user's local application data folder is unknown.
bool DriverLogPath(WCHAR (&path)[MAX_PATH]);

// Appends one line for the object with `serial`, printf-style. A line that cannot be written
// (no folder, the file or the lock held elsewhere for long) is dropped: the log never stops a host.
void WriteDriverLog(UINT32 serial, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void WriteDriverLogV(UINT32 serial, const char *format, va_list arguments)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 0)))
#endif
    ;

// The lines every thread of the driver writes alike, with `source` (the thread's part: "stream",
// "device watch", ...) in front: a message sent to the host, and a device gone while playing.
void WriteMessageSentLog(UINT32 serial, const char *source, long selector, long value);
void WriteDeviceLostLog(UINT32 serial, const char *source);

// What the stream thread reports.
enum DriverLogEvent : UINT32 {
  kLogDeviceLost = 1,  // the stream stopped by itself: the device went away
  kLogMessageSent,     // asioMessage(value[0], value[1]) sent to the host from the stream thread
};

struct DriverLogRecord {
  UINT32 event;
  INT32 value[3];
};

// One producer (the stream thread of one driver object at a time), one consumer (its status
// thread). Push takes no lock and never waits; a full queue drops the record and counts it.
class DriverLogQueue {
 public:
  void Enable(bool on) { enabled.store(on, std::memory_order_relaxed); }
  bool Enabled() const { return enabled.load(std::memory_order_relaxed); }
  void SetSerial(UINT32 owner) { serial.store(owner, std::memory_order_relaxed); }
  // False when the log is off or the queue is full.
  bool Push(DriverLogEvent event, INT32 a = 0, INT32 b = 0, INT32 c = 0);
  // Writes every record pushed so far, and how many were dropped since the last drain.
  void Drain();
  UINT32 Dropped() const { return dropped.load(std::memory_order_relaxed); }

  enum : UINT32 { kCapacity = 64 };

 private:
  DriverLogRecord ring[kCapacity] = {};
  // Records pushed and records taken; the difference is what waits in the ring.
  std::atomic<UINT32> pushed{0};
  std::atomic<UINT32> taken{0};
  std::atomic<UINT32> dropped{0};
  UINT32 droppedReported = 0;
  std::atomic<bool> enabled{false};
  std::atomic<UINT32> serial{0};
};
