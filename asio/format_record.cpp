#include "format_record.h"

#include <string.h>
#include <wchar.h>

namespace {

const WCHAR kUserValue[] = L"User";
const WCHAR kSetValue[] = L"Set";
const WCHAR kHoldersValue[] = L"Holders";
// Local: a user's records live in HKCU, and the processes that share them run in the user's
// session.
const WCHAR kRecordsMutex[] = L"Local\\halvane103.EndpointFormats";
// Generous: a holder of the mutex only reads and writes a few values and the endpoint's format.
// A process hung while holding it costs one follow or restore, not the host.
const DWORD kLockWaitMs = 10000;

enum { kHolderBytes = 12, kMaxHolders = 32 };
// Three characters for each escaped one, and the terminator.
enum { kRecordNameChars = kEndpointIdChars * 3 + 1 };

struct FormatRecord {
  FormatBytes user;
  FormatBytes set;
  DWORD holderCount;
  FormatHolder holders[kMaxHolders];
};

enum class Loaded { kNone, kValid, kMalformed };

class RecordLock {
 public:
  RecordLock() : mutex(CreateMutexW(/* attributes */ nullptr, /* initial owner */ FALSE, kRecordsMutex)) {
    // A holder that ended without releasing it left the records as they were after a whole
    // write: each value is written at once, and the record stays consistent enough to settle.
    DWORD waited = mutex ? WaitForSingleObject(mutex, kLockWaitMs) : WAIT_FAILED;
    held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~RecordLock() {
    if (held) ReleaseMutex(mutex);
    if (mutex) CloseHandle(mutex);
  }
  RecordLock(const RecordLock &) = delete;
  RecordLock &operator=(const RecordLock &) = delete;
  bool Held() const { return held; }

 private:
  HANDLE mutex;
  bool held = false;
};

void PutDword(BYTE *at, DWORD value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}
DWORD GetDword(const BYTE *at) {
  return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 | static_cast<DWORD>(at[2]) << 16 |
         static_cast<DWORD>(at[3]) << 24;
}

bool SameHolder(const FormatHolder &a, const FormatHolder &b) {
  return a.processId == b.processId && a.created.dwLowDateTime == b.created.dwLowDateTime &&
         a.created.dwHighDateTime == b.created.dwHighDateTime;
}

// The subkey path of the endpoint's record. False for an id too long to be an endpoint id.
bool RecordPath(LPCWSTR id, WCHAR *path, size_t pathChars) {
  static const WCHAR kHex[] = L"0123456789ABCDEF";
  size_t length = wcslen(FORMAT_RECORDS_KEY);
  if (pathChars < length + 2 + kRecordNameChars) return false;
  wmemcpy(path, FORMAT_RECORDS_KEY, length);
  path[length++] = L'\\';
  size_t chars = 0;
  for (; id[chars]; ++chars) {
    if (chars >= kEndpointIdChars) return false;
    WCHAR c = id[chars];
    if (c == L'%' || c == L'\\') {
      path[length++] = L'%';
      path[length++] = kHex[(c >> 4) & 0xF];
      path[length++] = kHex[c & 0xF];
    } else {
      path[length++] = c;
    }
  }
  path[length] = L'\0';
  return chars > 0;
}

// The endpoint id a record's subkey name stands for. False for a name this did not write.
bool IdOfRecordName(const WCHAR *name, EndpointId id) {
  size_t out = 0;
  for (size_t i = 0; name[i]; ++i) {
    if (out >= kEndpointIdChars) return false;
    WCHAR c = name[i];
    if (c == L'%') {
      if (name[i + 1] == L'2' && name[i + 2] == L'5')
        c = L'%';
      else if (name[i + 1] == L'5' && (name[i + 2] == L'C' || name[i + 2] == L'c'))
        c = L'\\';
      else
        return false;
      i += 2;
    }
    id[out++] = c;
  }
  id[out] = L'\0';
  return out > 0;
}

bool ReadFormatValue(HKEY key, LPCWSTR name, FormatBytes *format) {
  DWORD type = REG_NONE;
  DWORD size = sizeof(format->bytes);
  format->size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, format->bytes, &size) != ERROR_SUCCESS || type != REG_BINARY)
    return false;
  EndpointFormat parsed;
  if (size > sizeof(format->bytes) || !ParseWaveFormat(format->bytes, size, &parsed)) return false;
  format->size = size;
  return true;
}

void ReadHolders(HKEY key, FormatRecord *record) {
  BYTE bytes[kMaxHolders * kHolderBytes];
  DWORD type = REG_NONE;
  DWORD size = sizeof(bytes);
  record->holderCount = 0;
  // Missing, of another type, or longer than any list this writes: no holder.
  if (RegQueryValueExW(key, kHoldersValue, nullptr, &type, bytes, &size) != ERROR_SUCCESS || type != REG_BINARY ||
      size > sizeof(bytes))
    return;
  for (DWORD at = 0; at + kHolderBytes <= size; at += kHolderBytes) {
    FormatHolder holder;
    holder.processId = GetDword(bytes + at);
    holder.created.dwLowDateTime = GetDword(bytes + at + 4);
    holder.created.dwHighDateTime = GetDword(bytes + at + 8);
    if (holder.processId != 0) record->holders[record->holderCount++] = holder;
  }
}

Loaded LoadRecord(LPCWSTR path, FormatRecord *record) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return Loaded::kNone;
  Loaded loaded = Loaded::kMalformed;
  if (ReadFormatValue(key, kUserValue, &record->user) && ReadFormatValue(key, kSetValue, &record->set)) {
    ReadHolders(key, record);
    loaded = Loaded::kValid;
  }
  RegCloseKey(key);
  return loaded;
}

LONG StoreRecord(LPCWSTR path, const FormatRecord &record) {
  BYTE holders[kMaxHolders * kHolderBytes];
  for (DWORD i = 0; i < record.holderCount; ++i) {
    PutDword(holders + i * kHolderBytes, record.holders[i].processId);
    PutDword(holders + i * kHolderBytes + 4, record.holders[i].created.dwLowDateTime);
    PutDword(holders + i * kHolderBytes + 8, record.holders[i].created.dwHighDateTime);
  }
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, /* class */ nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE, /* security */ nullptr, &key, /* disposition */ nullptr);
  if (status == ERROR_SUCCESS) status = RegSetValueExW(key, kUserValue, 0, REG_BINARY, record.user.bytes, record.user.size);
  if (status == ERROR_SUCCESS) status = RegSetValueExW(key, kSetValue, 0, REG_BINARY, record.set.bytes, record.set.size);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key, kHoldersValue, 0, REG_BINARY, holders, record.holderCount * kHolderBytes);
  if (key) RegCloseKey(key);
  return status;
}

void DropRecord(LPCWSTR path) { RegDeleteKeyW(HKEY_CURRENT_USER, path); }

bool OwnHolder(FormatHolder *holder) {
  FILETIME exited, kernel, user;
  holder->processId = GetCurrentProcessId();
  return GetProcessTimes(GetCurrentProcess(), &holder->created, &exited, &kernel, &user) != FALSE;
}

bool HolderAlive(const FormatHolder &holder) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /* inherit */ FALSE, holder.processId);
  // A process that runs but may not be looked at (another user's) is not declared gone.
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  FormatHolder found = {holder.processId, {0, 0}};
  FILETIME exited, kernel, user;
  DWORD exitCode = 0;
  // An id that came back with another process is another process: the creation times differ.
  bool alive = GetProcessTimes(process, &found.created, &exited, &kernel, &user) && SameHolder(found, holder) &&
               GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
}

// Drops the holders whose processes have ended. True when any was dropped.
bool DropGoneHolders(FormatRecord *record) {
  DWORD kept = 0;
  for (DWORD i = 0; i < record->holderCount; ++i)
    if (HolderAlive(record->holders[i])) record->holders[kept++] = record->holders[i];
  bool dropped = kept != record->holderCount;
  record->holderCount = kept;
  return dropped;
}

bool RemoveHolder(FormatRecord *record, const FormatHolder &holder) {
  for (DWORD i = 0; i < record->holderCount; ++i) {
    if (!SameHolder(record->holders[i], holder)) continue;
    record->holders[i] = record->holders[--record->holderCount];
    return true;
  }
  return false;
}

// No holder lives: the user's format goes back while the endpoint has what the driver set, and
// the record goes; when the user replaced the driver's format meanwhile, only the record goes.
// A restore that cannot be done now keeps the record, without holders. True when it is gone.
bool SettleLocked(LPCWSTR id, LPCWSTR path, FormatRecord *record) {
  FormatBytes now;
  if (ReadEndpointFormat(id, &now) == S_OK) {
    HRESULT result;
    if (!SameFormat(now, record->set) || SetEndpointFormat(id, record->user, &result) == FormatChange::kDone) {
      DropRecord(path);
      return true;
    }
  }
  record->holderCount = 0;
  StoreRecord(path, *record);
  return false;
}

void SettleRecordLocked(LPCWSTR id, LPCWSTR path) {
  FormatRecord record;
  Loaded loaded = LoadRecord(path, &record);
  if (loaded == Loaded::kMalformed) DropRecord(path);
  if (loaded != Loaded::kValid) return;
  bool dropped = DropGoneHolders(&record);
  if (record.holderCount == 0)
    SettleLocked(id, path, &record);
  else if (dropped)
    StoreRecord(path, record);
}

}  // namespace

FormatChange ChangeRecordedFormat(ReplacedFormat *held, LPCWSTR id, const FormatBytes &before, const FormatBytes &wanted,
                                  HRESULT *result, FormatBytes *after, bool *afterRead) {
  *afterRead = false;
  after->size = 0;
  // Under Wine there is nothing to set the format with: no record either.
  if (!PolicyObjectPresent()) {
    *result = REGDB_E_CLASSNOTREG;
    return FormatChange::kNoPolicyObject;
  }
  WCHAR path[MAX_PATH];
  FormatHolder self;
  if (!RecordPath(id, path, _countof(path)) || !OwnHolder(&self)) {
    *result = E_INVALIDARG;
    return FormatChange::kRefused;
  }
  RecordLock lock;
  if (!lock.Held()) {
    *result = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    return FormatChange::kRefused;
  }

  FormatRecord previous = {};
  bool existed = LoadRecord(path, &previous) == Loaded::kValid;
  FormatRecord record = previous;
  if (!existed) {
    record.user = before;
    record.holderCount = 0;
  } else if (!SameFormat(before, record.set)) {
    // The user chose this format after the driver's latest change: it is the one to come back.
    record.user = before;
  }
  record.set = wanted;
  bool holdsAlready = held->active && wcscmp(held->id, id) == 0;
  if (!holdsAlready) {
    if (record.holderCount >= kMaxHolders) DropGoneHolders(&record);
    if (record.holderCount >= kMaxHolders) {
      *result = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
      return FormatChange::kRefused;
    }
    record.holders[record.holderCount++] = self;
  }
  LONG stored = StoreRecord(path, record);
  if (stored != ERROR_SUCCESS) {
    // Not one value may stay half written: what was there goes back (or nothing, if nothing was).
    if (existed)
      StoreRecord(path, previous);
    else
      DropRecord(path);
    *result = HRESULT_FROM_WIN32(static_cast<unsigned long>(stored));
    return FormatChange::kRefused;
  }
  if (!holdsAlready) {
    held->active = true;
    wcscpy(held->id, id);
    held->holder = self;
  }

  FormatChange change = SetEndpointFormat(id, wanted, result);
  *afterRead = ReadEndpointFormat(id, after) == S_OK;
  if (change != FormatChange::kDone) {
    // Nothing changed: the record is as it was, and this object holds it only if it did before.
    if (existed)
      StoreRecord(path, previous);
    else
      DropRecord(path);
    if (!holdsAlready) held->active = false;
    return change;
  }
  // What the endpoint really has now is what a restore must find there; unread, the change is
  // taken as made.
  if (*afterRead) record.set = *after;
  if (!existed && SameFormat(record.set, record.user)) {
    // The policy object said yes and the endpoint kept the user's format: nothing to undo.
    DropRecord(path);
    held->active = false;
  } else if (*afterRead) {
    StoreRecord(path, record);
  }
  return change;
}

void JoinFormatRecord(ReplacedFormat *held, LPCWSTR id, const FormatBytes &current) {
  if (held->active && wcscmp(held->id, id) == 0) return;
  WCHAR path[MAX_PATH];
  FormatHolder self;
  if (!RecordPath(id, path, _countof(path)) || !OwnHolder(&self)) return;
  HKEY probe = nullptr;
  // No record, no lock: the common case costs one open.
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &probe) != ERROR_SUCCESS) return;
  RegCloseKey(probe);
  RecordLock lock;
  FormatRecord record;
  if (!lock.Held() || LoadRecord(path, &record) != Loaded::kValid || !SameFormat(record.set, current)) return;
  if (record.holderCount >= kMaxHolders) DropGoneHolders(&record);
  if (record.holderCount >= kMaxHolders) return;
  record.holders[record.holderCount++] = self;
  if (StoreRecord(path, record) != ERROR_SUCCESS) return;
  // A holder of another endpoint's record lets go of that one first.
  if (held->active) RestoreEndpointFormat(held);
  held->active = true;
  wcscpy(held->id, id);
  held->holder = self;
}

void RestoreEndpointFormat(ReplacedFormat *held) {
  if (!held->active) return;
  held->active = false;
  WCHAR path[MAX_PATH];
  if (!RecordPath(held->id, path, _countof(path))) return;
  RecordLock lock;
  FormatRecord record;
  // Without the lock the entry stays; once this process has ended, settling removes it.
  if (!lock.Held() || LoadRecord(path, &record) != Loaded::kValid) return;
  RemoveHolder(&record, held->holder);
  DropGoneHolders(&record);
  if (record.holderCount == 0)
    SettleLocked(held->id, path, &record);
  else
    StoreRecord(path, record);
}

void SettleFormatRecords() {
  HKEY records = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, FORMAT_RECORDS_KEY, 0, KEY_ENUMERATE_SUB_KEYS, &records) != ERROR_SUCCESS)
    return;
  // The names first: settling deletes keys, which would shift the enumeration under it.
  enum { kMaxRecords = 16 };
  EndpointId ids[kMaxRecords];
  int count = 0;
  WCHAR name[kRecordNameChars + 1];
  for (DWORD index = 0; count < kMaxRecords; ++index) {
    LONG status = RegEnumKeyW(records, index, name, _countof(name));
    if (status == ERROR_NO_MORE_ITEMS) break;
    // A name this never wrote is left alone.
    if (status == ERROR_SUCCESS && IdOfRecordName(name, ids[count])) ++count;
  }
  RegCloseKey(records);
  if (count == 0) return;
  RecordLock lock;
  if (!lock.Held()) return;
  WCHAR path[MAX_PATH];
  for (int i = 0; i < count; ++i)
    if (RecordPath(ids[i], path, _countof(path))) SettleRecordLocked(ids[i], path);
}

void InspectFormatRecord(LPCWSTR id, FormatRecordView *view) {
  *view = FormatRecordView();
  WCHAR path[MAX_PATH];
  FormatRecord record;
  if (!RecordPath(id, path, _countof(path)) || LoadRecord(path, &record) != Loaded::kValid) return;
  view->exists = true;
  view->user = record.user;
  view->set = record.set;
  for (DWORD i = 0; i < record.holderCount && !view->held; ++i) view->held = HolderAlive(record.holders[i]);
}

int PutBackEndpointFormat(LPCWSTR id) {
  WCHAR path[MAX_PATH];
  if (!RecordPath(id, path, _countof(path))) return -1;
  RecordLock lock;
  if (!lock.Held()) return -1;
  SettleRecordLocked(id, path);
  FormatRecord record;
  return LoadRecord(path, &record) == Loaded::kNone ? 0 : -1;
}
