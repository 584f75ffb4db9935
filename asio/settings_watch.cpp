#include "settings_watch.h"

#include <string.h>

#include <new>

#include "asio_interface.h"
#include "driver.h"

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
  watch->changed = CreateEventW(/* attributes */ nullptr, /* manual reset */ FALSE, /* signalled */ FALSE, nullptr);
  if (!watch->changed || !watch->Arm() || !watch->Register()) {
    watch->Free();
    return nullptr;
  }
  return watch;
}

// Asks for the next change, on the handles already open where they still serve: closing a
// handle signals its notification, which would only make another check. A notification fires
// once, so every check arms them again.
bool SettingsWatch::Arm() {
  if (!key && RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) key = nullptr;
  if (key && Notify(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET) != ERROR_SUCCESS) {
    // Deleted: the key above tells when it comes back.
    RegCloseKey(key);
    key = nullptr;
  }
  // The nearest key above it that exists sees the settings key appear and go (not every system
  // tells of a watched key's own deletion).
  for (size_t level = 1; level < sizeof(kWatchedPaths) / sizeof(kWatchedPaths[0]); ++level) {
    HKEY probe = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kWatchedPaths[level], 0, KEY_NOTIFY, &probe) != ERROR_SUCCESS) continue;
    if (above && aboveLevel == level) {
      RegCloseKey(probe);
    } else {
      if (above) RegCloseKey(above);
      above = probe;
      aboveLevel = level;
    }
    // Below the parent only a subtree watch sees the settings key appear.
    if (Notify(above, level > 1 ? TRUE : FALSE, REG_NOTIFY_CHANGE_NAME) != ERROR_SUCCESS) {
      RegCloseKey(above);
      above = nullptr;
      continue;
    }
    break;
  }
  return key || above;
}

LONG SettingsWatch::Notify(HKEY watched, BOOL subtree, DWORD filter) {
  // Not tied to the pool thread that asks (which may exit); systems before Windows 8 refuse the
  // flag, and there a thread that exits only costs a check that finds nothing.
  LONG result = RegNotifyChangeKeyValue(watched, subtree, filter | REG_NOTIFY_THREAD_AGNOSTIC, changed, TRUE);
  if (result == ERROR_INVALID_PARAMETER) result = RegNotifyChangeKeyValue(watched, subtree, filter, changed, TRUE);
  return result;
}

// One wait per notification (WT_EXECUTEONLYONCE), so that two checks never run at once.
bool SettingsWatch::Register() {
  HANDLE next = nullptr;
  if (!RegisterWaitForSingleObject(&next, changed, Fired, this, INFINITE, WT_EXECUTEONLYONCE)) return false;
  wait = next;
  return true;
}

// A program that changes the settings writes several values (and may create the key first):
// the check waits until the key has been quiet this long before it reads, so that one change is
// told once. Under a busy parent key (while the settings key is missing) it gives up waiting
// after a few rounds.
const DWORD kQuietMs = 100;
const int kQuietRounds = 20;

void SettingsWatch::Check() {
  // Armed before reading, so that a change made while the values are read fires again.
  Arm();
  for (int round = 0; round < kQuietRounds && WaitForSingleObject(changed, kQuietMs) == WAIT_OBJECT_0; ++round) Arm();
  DriverSettings now;
  ReadDriverSettings(&now);
  if (SameSettings(now, known)) return;
  known = now;
  MessageProc target = tell;
  if (target) target(kAsioResetRequest, 0, nullptr, nullptr);
}

VOID CALLBACK SettingsWatch::Fired(PVOID context, BOOLEAN) {
  SettingsWatch *watch = static_cast<SettingsWatch *>(context);
  checking = watch;
  watch->Check();
  checking = nullptr;
  std::unique_lock<std::mutex> guard(watch->lock);
  // A host thread's Stop owns the wait and waits for this check to end.
  if (watch->stopped && !watch->stoppedInside) return;
  HANDLE own = watch->wait;
  watch->wait = nullptr;
  bool freeNow = watch->stopped;
  // Should no new wait be had, the watch stays idle until Stop frees it.
  if (!freeNow) watch->Register();
  guard.unlock();
  // The spent wait is released without waiting: its callback is this one.
  if (own) UnregisterWaitEx(own, /* completion event */ nullptr);
  if (freeNow) watch->Free();
}

void SettingsWatch::Stop() {
  tell = nullptr;
  std::unique_lock<std::mutex> guard(lock);
  stopped = true;
  if (checking == this) {
    stoppedInside = true;
    return;
  }
  HANDLE own = wait;
  wait = nullptr;
  guard.unlock();
  if (own) UnregisterWaitEx(own, INVALID_HANDLE_VALUE);
  Free();
}

void SettingsWatch::Free() {
  if (key) RegCloseKey(key);
  if (above) RegCloseKey(above);
  if (changed) CloseHandle(changed);
  delete this;
}
