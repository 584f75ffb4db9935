#include "driver_status.h"

#include <string.h>
#include <wchar.h>

#include <new>

#include "driver_log.h"
#include "driver_thread.h"

const WCHAR kStatusIndexName[] = L"Local\\halvane103.ASIO.Status.Index";
const WCHAR kStatusLockName[] = L"Local\\halvane103.ASIO.Status.Lock";

namespace {

// The block is shared with other processes and read while it is written, so every word of it is
// moved by an atomic access of its own. The words are stored with release and loaded with acquire
// (plain moves on x86), so that no word can be seen before the odd count that precedes it, and a
// reader's second look at the count cannot come before its words.
#if defined(__GNUC__)
inline UINT32 LoadWord(const UINT32 *word, int order) { return __atomic_load_n(word, order); }
inline void StoreWord(UINT32 *word, UINT32 value, int order) { __atomic_store_n(word, value, order); }
const int kRelaxed = __ATOMIC_RELAXED, kAcquire = __ATOMIC_ACQUIRE, kRelease = __ATOMIC_RELEASE;
#else
inline UINT32 LoadWord(const UINT32 *word, int) { return *static_cast<const volatile UINT32 *>(word); }
inline void StoreWord(UINT32 *word, UINT32 value, int) { *static_cast<volatile UINT32 *>(word) = value; }
const int kRelaxed = 0, kAcquire = 0, kRelease = 0;
#endif

const size_t kRecordWords = sizeof(DriverStatusRecord) / sizeof(UINT32);
static_assert(sizeof(DriverStatusRecord) % sizeof(UINT32) == 0, "the record moves word by word");

UINT32 *RecordWords(DriverStatusBlock *block) { return reinterpret_cast<UINT32 *>(&block->record); }
const UINT32 *RecordWords(const DriverStatusBlock *block) { return reinterpret_cast<const UINT32 *>(&block->record); }

// A reader that finds the record changing this often gives up on it for this round.
const int kReadAttempts = 1000;
// The index's lock is held for a few slot reads or writes; a holder that takes longer is stuck.
const DWORD kIndexLockMs = 2000;

std::atomic<UINT32> nextSerial{1};

// Held for its scope when it could be had: the index is read and written only under it.
class IndexLock {
 public:
  explicit IndexLock(HANDLE owned) : mutex(owned) {
    DWORD waited = mutex ? WaitForSingleObject(mutex, kIndexLockMs) : WAIT_FAILED;
    // A process that died holding it left the slots as they were; they stay readable.
    held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~IndexLock() {
    if (held) ReleaseMutex(mutex);
  }
  IndexLock(const IndexLock &) = delete;
  IndexLock &operator=(const IndexLock &) = delete;
  bool Held() const { return held; }

 private:
  HANDLE mutex;
  bool held;
};

void HostProgramName(UINT16 (&name)[kStatusHostNameChars]) {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, _countof(path));
  if (length == 0 || length >= _countof(path)) path[0] = L'\0';
  const WCHAR *slash = wcsrchr(path, L'\\');
  const WCHAR *file = slash ? slash + 1 : path;
  size_t i = 0;
  // UTF-16 on Windows; natively wchar_t is wider and the names are ASCII.
  for (; file[i] && i + 1 < kStatusHostNameChars; ++i) name[i] = static_cast<UINT16>(file[i]);
  name[i] = 0;
}

bool BlockIsLive(UINT32 processId, UINT32 serial) {
  WCHAR name[kStatusNameChars];
  StatusBlockName(processId, serial, name);
  HANDLE open = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
  if (!open) return false;
  CloseHandle(open);
  return true;
}

}  // namespace

void StatusBlockName(UINT32 processId, UINT32 serial, WCHAR (&name)[kStatusNameChars]) {
  swprintf(name, kStatusNameChars, L"Local\\halvane103.ASIO.Status.%lu.%lu", static_cast<unsigned long>(processId),
           static_cast<unsigned long>(serial));
}

bool ReadStatusBlock(const DriverStatusBlock *block, DriverStatusRecord *record) {
  if (LoadWord(&block->magic, kAcquire) != kStatusMagic ||
      LoadWord(&block->recordBytes, kRelaxed) != sizeof(DriverStatusRecord))
    return false;
  UINT32 words[kRecordWords];
  const UINT32 *shared = RecordWords(block);
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    UINT32 before = LoadWord(&block->sequence, kAcquire);
    if (before & 1) continue;
    for (size_t i = 0; i < kRecordWords; ++i) words[i] = LoadWord(&shared[i], kAcquire);
    if (LoadWord(&block->sequence, kRelaxed) != before) continue;
    memcpy(record, words, sizeof(words));
    record->hostName[kStatusHostNameChars - 1] = 0;
    record->reason[kStatusReasonChars - 1] = '\0';
    return true;
  }
  return false;
}

DriverStatus *DriverStatus::Open(bool logOn) {
  DriverStatus *status = new (std::nothrow) DriverStatus();
  if (!status) return nullptr;
  status->logQueue.Enable(logOn);
  status->fields.processId = static_cast<UINT32>(GetCurrentProcessId());
  status->fields.hostBits = static_cast<UINT32>(sizeof(void *) * 8);
  HostProgramName(status->fields.hostName);
  // A name still held by a reader of a process that had this id before is left to it.
  for (int attempt = 0; attempt < 16 && !status->view; ++attempt) {
    UINT32 serial = nextSerial.fetch_add(1);
    WCHAR name[kStatusNameChars];
    StatusBlockName(status->fields.processId, serial, name);
    HANDLE made = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DriverStatusBlock), name);
    if (!made) break;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(made);
      continue;
    }
    status->block = made;
    status->serial = serial;
    status->view = static_cast<DriverStatusBlock *>(MapViewOfFile(made, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DriverStatusBlock)));
    if (!status->view) break;
  }
  status->fields.serial = status->serial;
  status->logQueue.SetSerial(status->serial);
  status->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!status->view || !status->wake) {
    delete status;
    return nullptr;
  }
  StoreWord(&status->view->recordBytes, sizeof(DriverStatusRecord), kRelaxed);
  {
    std::lock_guard<std::mutex> guard(status->lock);
    status->write();
  }
  StoreWord(&status->view->magic, kStatusMagic, kRelease);
  if (!status->listInIndex() || !StartDriverThread(Serve, status, &status->thread)) {
    status->leaveIndex();
    delete status;
    return nullptr;
  }
  return status;
}

DriverStatus::~DriverStatus() {
  if (view) UnmapViewOfFile(view);
  if (block) CloseHandle(block);
  if (indexView) UnmapViewOfFile(indexView);
  if (index) CloseHandle(index);
  if (indexLock) CloseHandle(indexLock);
  if (wake) CloseHandle(wake);
}

bool DriverStatus::listInIndex() {
  indexLock = CreateMutexW(nullptr, FALSE, kStatusLockName);
  index = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DriverStatusIndex), kStatusIndexName);
  if (!indexLock || !index) return false;
  indexView = static_cast<DriverStatusIndex *>(MapViewOfFile(index, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DriverStatusIndex)));
  if (!indexView) return false;
  IndexLock guard(indexLock);
  if (!guard.Held()) return false;
  if (indexView->magic != kStatusMagic) {
    indexView->magic = kStatusMagic;
    indexView->slots = kStatusIndexSlots;
  }
  // A free slot, or one whose block went with a process that ended without leaving the index.
  for (LONG i = 0; i < static_cast<LONG>(kStatusIndexSlots); ++i) {
    DriverStatusIndex::Slot &entry = indexView->slot[i];
    if (entry.processId != 0 && BlockIsLive(entry.processId, entry.serial)) continue;
    entry.processId = fields.processId;
    entry.serial = serial;
    slot = i;
    return true;
  }
  return false;
}

void DriverStatus::leaveIndex() {
  if (slot < 0 || !indexView) return;
  IndexLock guard(indexLock);
  if (!guard.Held()) return;
  DriverStatusIndex::Slot &entry = indexView->slot[slot];
  if (entry.processId == fields.processId && entry.serial == serial) entry.processId = entry.serial = 0;
  slot = -1;
}

void DriverStatus::Close(bool wait) {
  HANDLE ending = thread;
  thread = nullptr;
  quitting = true;
  SetEvent(wake);
  // From here on the thread owns the object and deletes it.
  if (wait)
    JoinDriverThread(&ending);
  else
    CloseHandle(ending);
}

void DriverStatus::Publish(const DriverStatusRecord &update) {
  std::lock_guard<std::mutex> guard(lock);
  UINT32 processId = fields.processId, hostBits = fields.hostBits;
  UINT16 hostName[kStatusHostNameChars];
  memcpy(hostName, fields.hostName, sizeof(hostName));
  fields = update;
  fields.processId = processId;
  fields.serial = serial;
  fields.hostBits = hostBits;
  memcpy(fields.hostName, hostName, sizeof(hostName));
  write();
}

void DriverStatus::ResetCounters(ULONGLONG lateAfterMicroseconds) {
  // timeGetTime moves in steps of the system timer, up to 15.625 ms unless a program raised its
  // resolution (the driver does not): two readings one period apart can differ by that much more
  // than the time between them, so the margin takes a whole step besides, or a stream running
  // on time would count late periods.
  const ULONGLONG kClockStepMs = 16;
  ULONGLONG milliseconds = (lateAfterMicroseconds + 999) / 1000 + kClockStepMs;
  lateAfterMs.store(milliseconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(milliseconds),
                    std::memory_order_relaxed);
  lastPeriodMs.store(0, std::memory_order_relaxed);
  periodsPlayed.store(0, std::memory_order_relaxed);
  latePeriods.store(0, std::memory_order_relaxed);
  deviceLost.store(0, std::memory_order_relaxed);
}

// Under `lock`.
void DriverStatus::write() {
  DriverStatusRecord record = fields;
  record.periodsPlayed = periodsPlayed.load(std::memory_order_relaxed);
  record.latePeriods = latePeriods.load(std::memory_order_relaxed);
  record.deviceLost = deviceLost.load(std::memory_order_relaxed);
  UINT32 words[kRecordWords];
  memcpy(words, &record, sizeof(words));
  UINT32 *shared = RecordWords(view);
  UINT32 sequence = LoadWord(&view->sequence, kRelaxed);
  StoreWord(&view->sequence, sequence + 1, kRelaxed);
  for (size_t i = 0; i < kRecordWords; ++i) StoreWord(&shared[i], words[i], kRelease);
  StoreWord(&view->sequence, sequence + 2, kRelease);
}

void DriverStatus::Serve(void *self) { static_cast<DriverStatus *>(self)->serve(); }

void DriverStatus::serve() {
  while (!quitting) {
    WaitForSingleObject(wake, kStatusRefreshMs);
    {
      std::lock_guard<std::mutex> guard(lock);
      write();
    }
    logQueue.Drain();
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    fields.state = kStatusClosed;
    write();
  }
  leaveIndex();
  logQueue.Drain();
  delete this;
}
