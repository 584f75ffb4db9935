// The settings key watched while a driver object lives, so that a host holding the driver hears
// of a change (kAsioResetRequest) and reloads it with the new settings.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "driver_log.h"
#include "settings.h"

// No thread of its own: registry change notifications signal events, and thread-pool waits run
// the check on a pool thread. The key itself may not exist yet, or be deleted while watched: the
// nearest existing key above it is watched too (for its own subkeys only, never a subtree), and
// every check looks for both again. Only a change of what the driver would read counts, so writes
// of the same values (or elsewhere under a watched parent) tell nobody.
//
// Each of the two notifications has an event of its own: asking for a notification resets its
// event (as the start of any overlapped operation does), so with a shared event asking for one
// could erase the signal of the other, which would then never be asked for again.
class SettingsWatch {
 public:
  typedef long (*MessageProc)(long selector, long value, void *message, double *opt);

  // Null when the watch cannot be set up; the driver then works without it.
  static SettingsWatch *Start(const DriverSettings &held);
  // Whom a change is told to: the host's asioMessage when it claims kAsioResetRequest, else null;
  // and the log that says so.
  void Aim(MessageProc target, DriverLogTarget to = DriverLogTarget()) {
    // A check reads `tell` first: whom it tells always comes with the log that says so.
    if (!target) tell = nullptr;
    logSerial = to.serial;
    logOn = to.on;
    tell = target;
  }
  // Ends the watch and frees it. Waits for a check in progress, except from inside one (a host
  // that releases the driver from the asioMessage a check called): the check then frees it.
  void Stop();

 private:
  // One watched key: its handle, the event its notification signals and the wait on that event.
  struct Watched {
    HKEY key = nullptr;
    HANDLE fired = nullptr;  // auto-reset
    HANDLE wait = nullptr;   // one-shot; replaced after the check it started or joined
    bool waitSpent = false;  // under `lock`
    // A notification is asked for on `key` and has not been seen to fire. Asked for only when
    // clear, so that asking never resets an event whose signal nobody has taken yet.
    std::atomic<bool> armed{false};
  };

  explicit SettingsWatch(const DriverSettings &held);
  static VOID CALLBACK KeyFired(PVOID context, BOOLEAN timedOut);
  static VOID CALLBACK AboveFired(PVOID context, BOOLEAN timedOut);
  void Run(Watched &fired);
  bool Arm();
  void Close(Watched &watched);
  LONG Notify(Watched &watched, BOOL subtree, DWORD filter);
  bool Register(Watched &watched);
  bool Quiet();
  void Check();
  void Free();
  static void Reap(void *self);

  DriverSettings known;
  Watched key;            // the settings key, while it exists
  Watched above;          // the nearest existing key above it
  size_t aboveLevel = 0;  // which of the keys above
  std::atomic<MessageProc> tell{nullptr};
  std::atomic<bool> logOn{false};
  std::atomic<UINT32> logSerial{0};
  // Guards the waits, `busy`, `again` and `stopped` between the pool threads the two waits
  // fire on and a host thread's Stop; never held by the stream thread.
  std::mutex lock;
  bool busy = false;   // a check runs; a wait that fires meanwhile only asks for another
  bool again = false;  // a wait fired during the check
  bool stopped = false;
  bool stoppedInside = false;
  // Set by Stop before it takes the lock: a check in progress ends early.
  std::atomic<bool> stopping{false};
  // The waits a driver thread unregisters (waiting for their callbacks) before it frees the watch.
  HANDLE reaped[2] = {nullptr, nullptr};
};
