// The settings key watched while a driver object lives, so that a host holding the driver hears
// of a change (kAsioResetRequest) and reloads it with the new settings.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "settings.h"

// No thread of its own: registry change notifications signal an event, and a thread-pool wait
// runs the check on a pool thread. The key itself may not exist yet, or be deleted while watched:
// the nearest existing key above it is watched too (with its subtree when it is not the parent),
// and every check looks for both again. Only a change of what the driver would read counts, so writes of the same values
// (or elsewhere under a watched parent) tell nobody.
class SettingsWatch {
 public:
  typedef long (*MessageProc)(long selector, long value, void *message, double *opt);

  // Null when the watch cannot be set up; the driver then works without it.
  static SettingsWatch *Start(const DriverSettings &held);
  // Whom a change is told to: the host's asioMessage when it claims kAsioResetRequest, else null.
  void Aim(MessageProc target) { tell = target; }
  // Ends the watch and frees it. Waits for a check in progress, except from inside one (a host
  // that releases the driver from the asioMessage a check called): the check then frees it.
  void Stop();

 private:
  explicit SettingsWatch(const DriverSettings &held);
  static VOID CALLBACK Fired(PVOID context, BOOLEAN timedOut);
  bool Arm();
  LONG Notify(HKEY watched, BOOL subtree, DWORD filter);
  bool Register();
  void Check();
  void Free();

  DriverSettings known;
  HANDLE changed = nullptr;  // auto-reset event that the notification signals
  HKEY key = nullptr;        // the settings key, while it exists
  HKEY above = nullptr;      // the nearest existing key above it
  size_t aboveLevel = 0;     // which of the keys above
  HANDLE wait = nullptr;     // the registered wait, one per notification
  std::atomic<MessageProc> tell{nullptr};
  // Guards `wait` and `stopped` between a host thread's Stop and a check that re-registers; held
  // only by those, never by the stream thread.
  std::mutex lock;
  bool stopped = false;
  bool stoppedInside = false;
};
