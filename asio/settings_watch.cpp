#include "settings_watch.h"

#include <string.h>

#include <new>

#include "asio_interface.h"
#include "driver.h"
#include "driver_thread.h"

namespace {

// The settings key, then the keys above it up to the hive.
const WCHAR *const kWatchedPaths[] = {SETTINGS_KEY, L"Software\\halvane103", L"Software", L""};

// The watch whose check runs on this thread.
thread_local SettingsWatch *checking = nullptr;

bool SameSettings(const DriverSettings &a, const DriverSettings &b) { return memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

SettingsWatch::SettingsWatch(const DriverSettings &held) : known(held) {}

SettingsWatch *SettingsWatch::Start(const DriverSettings &held) {
  SettingsWatch *watch = new (std::nothrow) SettingsWatch(held);
  if (!watch) return nullptr;
  for (Watched *watched : {&watch->key, &watch->above})
    watched->fired = CreateEventW(/* attributes */ nullptr, /* manual reset */ FALSE, /* signalled */ FALSE, nullptr);
  if (!watch->key.fired || !watch->above.fired || !watch->Arm() || !watch->Register(watch->key) ||
      !watch->Register(watch->above)) {
    // A callback may already run: it finds the watch stopped.
    {
      std::lock_guard<std::mutex> guard(watch->lock);
      watch->stopped = true;
    }
    for (Watched *watched : {&watch->key, &watch->above})
      if (watched->wait) UnregisterWaitEx(watched->wait, INVALID_HANDLE_VALUE);
    watch->Free();
    return nullptr;
  }
  return watch;
}

void SettingsWatch::Close(Watched &watched) {
  RegCloseKey(watched.key);
  watched.key = nullptr;
  watched.armed = false;
}

// Asks for the next change where no notification is pending, on the handles already open where
// they still serve: closing a handle signals its notification, which would only make another
// check. A notification fires once; the one that fired is asked for again.
bool SettingsWatch::Arm() {
  // Asked for first, so that the settings key appearing after the attempt to open it below
  // fires: the key above it sees the key appear and go (not every system tells of a watched
  // key's own deletion).
  bool namesChanged = !above.armed;
  for (size_t level = 1; level < sizeof(kWatchedPaths) / sizeof(kWatchedPaths[0]); ++level) {
    HKEY probe = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kWatchedPaths[level], 0, KEY_NOTIFY, &probe) != ERROR_SUCCESS) continue;
    if (above.key && aboveLevel == level) {
      RegCloseKey(probe);
    } else {
      if (above.key) Close(above);
      above.key = probe;
      aboveLevel = level;
    }
    // Only the key's own subkeys: the next key on the way to the settings key appearing, or the
    // settings key itself. Each key that appears is then watched in turn, never a whole subtree
    // (which under HKCU\Software would fire on every program's writes).
    if (Notify(above, FALSE, REG_NOTIFY_CHANGE_NAME) != ERROR_SUCCESS) {
      Close(above);
      continue;
    }
    break;
  }
  // The settings key may have gone (and come back) without its own notification firing: asking
  // again on its handle fails if it has.
  if (namesChanged) key.armed = false;
  // Deleted: the key above tells when it comes back.
  if (key.key && Notify(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET) != ERROR_SUCCESS) Close(key);
  HKEY opened = nullptr;
  if (!key.key && RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_NOTIFY, &opened) == ERROR_SUCCESS) {
    key.key = opened;
    if (Notify(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET) != ERROR_SUCCESS) Close(key);
  }
  return key.key || above.key;
}

LONG SettingsWatch::Notify(Watched &watched, BOOL subtree, DWORD filter) {
  if (watched.armed) return ERROR_SUCCESS;
  // Marked first: a wait that takes the signal at once clears it again.
  watched.armed = true;
  // Not tied to the pool thread that asks (which may exit); systems before Windows 8 refuse the
  // flag, and there a thread that exits only costs a check that finds nothing.
  LONG result =
      RegNotifyChangeKeyValue(watched.key, subtree, filter | REG_NOTIFY_THREAD_AGNOSTIC, watched.fired, TRUE);
  if (result == ERROR_INVALID_PARAMETER) result = RegNotifyChangeKeyValue(watched.key, subtree, filter, watched.fired, TRUE);
  if (result != ERROR_SUCCESS) watched.armed = false;
  return result;
}

// One wait per notification (WT_EXECUTEONLYONCE): a wait is spent by its callback and replaced
// only once that callback's check is over.
bool SettingsWatch::Register(Watched &watched) {
  HANDLE next = nullptr;
  WAITORTIMERCALLBACK callback = &watched == &key ? KeyFired : AboveFired;
  if (!RegisterWaitForSingleObject(&next, watched.fired, callback, this, INFINITE, WT_EXECUTEONLYONCE)) return false;
  watched.wait = next;
  watched.waitSpent = false;
  return true;
}

// A program that changes the settings writes several values (and may create the key first):
// the check waits until the key has been quiet this long before it reads, so that one change is
// told once. Under a busy parent key (while the settings key is missing) it gives up waiting
// after a few rounds. The wait is made in slices, so that Stop never waits for more than one.
const DWORD kQuietMs = 100;
const DWORD kQuietSliceMs = 10;
const int kQuietRounds = 20;

// Whether a notification fired within kQuietMs (or the watch is being stopped). Its signal may
// also go to the wait still registered on that event, whose callback then only marks it fired and
// asks for another check.
bool SettingsWatch::Quiet() {
  bool fired = false;
  for (DWORD waited = 0; waited < kQuietMs && !fired && !stopping; waited += kQuietSliceMs) {
    if (WaitForSingleObject(key.fired, kQuietSliceMs) == WAIT_OBJECT_0) {
      key.armed = false;
      fired = true;
    }
  }
  if (WaitForSingleObject(above.fired, 0) == WAIT_OBJECT_0) {
    above.armed = false;
    fired = true;
  }
  std::lock_guard<std::mutex> guard(lock);
  if (again) fired = true;
  again = false;
  return !fired;
}

void SettingsWatch::Check() {
  // Armed before reading, so that a change made while the values are read fires again.
  Arm();
  for (int round = 0; round < kQuietRounds && !Quiet() && !stopping; ++round) Arm();
  if (stopping) return;
  DriverSettings now;
  ReadDriverSettings(&now);
  if (SameSettings(now, known)) return;
  known = now;
  MessageProc target = tell;
  if (!target) return;
  if (logOn) WriteMessageSentLog(logSerial, "settings changed", kAsioResetRequest, 0);
  target(kAsioResetRequest, 0, nullptr, nullptr);
}

VOID CALLBACK SettingsWatch::KeyFired(PVOID context, BOOLEAN) {
  SettingsWatch *watch = static_cast<SettingsWatch *>(context);
  watch->Run(watch->key);
}

VOID CALLBACK SettingsWatch::AboveFired(PVOID context, BOOLEAN) {
  SettingsWatch *watch = static_cast<SettingsWatch *>(context);
  watch->Run(watch->above);
}

void SettingsWatch::Run(Watched &fired) {
  std::unique_lock<std::mutex> guard(lock);
  fired.armed = false;
  fired.waitSpent = true;
  // A Stop owns the waits; a check in progress makes one more round for this signal.
  if (stopped) return;
  if (busy) {
    again = true;
    return;
  }
  busy = true;
  do {
    again = false;
    guard.unlock();
    checking = this;
    Check();
    checking = nullptr;
    guard.lock();
  } while (again && !stopped);
  // A host thread's Stop owns the waits and waits for this callback to end.
  if (stopped && !stoppedInside) return;
  busy = false;
  HANDLE own = fired.wait;
  HANDLE spent[2] = {nullptr, nullptr};
  HANDLE live[2] = {nullptr, nullptr};
  bool freeNow = stopped;
  int i = 0;
  for (Watched *watched : {&key, &above}) {
    if (watched->waitSpent || freeNow) {
      (watched->waitSpent ? spent : live)[i] = watched->wait;
      watched->wait = nullptr;
      // Should no new wait be had, that notification goes unheard until Stop frees the watch.
      if (!freeNow) Register(*watched);
    }
    ++i;
  }
  guard.unlock();
  if (freeNow) {
    // Stopped from inside this check (the host released the driver in the asioMessage it was
    // sent): the driver object is gone, and once this callback returns nothing holds the module.
    // A driver thread waits for the callbacks to return, then frees the watch.
    reaped[0] = spent[0] ? spent[0] : live[0];
    reaped[1] = spent[1] ? spent[1] : live[1];
    if (StartDriverThread(&SettingsWatch::Reap, this, /* thread */ nullptr)) return;
  }
  // A spent wait's callback is this one, or one that returns without touching the watch again
  // but for the lock; only the first is released without waiting for it.
  for (i = 0; i < 2; ++i) {
    if (spent[i]) UnregisterWaitEx(spent[i], spent[i] == own || !freeNow ? nullptr : INVALID_HANDLE_VALUE);
    if (live[i]) UnregisterWaitEx(live[i], INVALID_HANDLE_VALUE);
  }
  if (freeNow) Free();
}

void SettingsWatch::Reap(void *self) {
  SettingsWatch *watch = static_cast<SettingsWatch *>(self);
  for (HANDLE wait : watch->reaped)
    if (wait) UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  watch->Free();
}

void SettingsWatch::Stop() {
  tell = nullptr;
  // A check in progress gives up at once rather than waiting for the key to be quiet.
  stopping = true;
  // The process exits: the pool's threads are gone, and so is everything to free.
  if (ProcessIsExiting()) return;
  std::unique_lock<std::mutex> guard(lock);
  stopped = true;
  if (checking == this) {
    stoppedInside = true;
    return;
  }
  HANDLE waits[2] = {key.wait, above.wait};
  key.wait = above.wait = nullptr;
  guard.unlock();
  // Also waits for a check in progress: it runs in the callback of one of these.
  for (HANDLE wait : waits)
    if (wait) UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  Free();
}

void SettingsWatch::Free() {
  for (Watched *watched : {&key, &above}) {
    if (watched->key) RegCloseKey(watched->key);
    if (watched->fired) CloseHandle(watched->fired);
  }
  delete this;
}
