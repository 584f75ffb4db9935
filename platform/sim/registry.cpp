// The simulated registry: hives of keys with case-insensitive names and typed values.
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

#include "sim/machine.h"
#include "sim/sync.h"

namespace {

std::wstring Fold(const std::wstring &name) {
  std::wstring out(name);
  for (auto &c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::wstring name;
  Key *parent = nullptr;
  bool deleted = false;
  LONG denyError = ERROR_SUCCESS;
  REGSAM deniedAccess = 0;
  // Ordered by folded name, which is also the order in which RegEnumKeyW lists subkeys.
  std::map<std::wstring, std::shared_ptr<Key>> subkeys;
  std::map<std::wstring, Value> values;
};

// A change notification asked for with RegNotifyChangeKeyValue: it fires once and is gone.
struct Watch {
  uintptr_t handle;
  std::shared_ptr<Key> key;
  bool subtree;
  DWORD filter;
  std::shared_ptr<sim::KernelObject> event;
};

struct Registry {
  std::recursive_mutex lock;
  std::shared_ptr<Key> hkcu, hklm, hku;
  std::map<uintptr_t, std::shared_ptr<Key>> handles;
  uintptr_t nextHandle = 0x1000;
  std::vector<Watch> watches;
  void (*armingHook)(const std::wstring &keyName) = nullptr;
  // The key under which the latest walk that created keys made its first one: a walk that
  // creates several levels changes the names under that key alone.
  Key *createdUnder = nullptr;
};

Registry &Reg() {
  static Registry registry;
  return registry;
}

void ResetRegistry() {
  auto &r = Reg();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  r.hkcu = std::make_shared<Key>();
  r.hklm = std::make_shared<Key>();
  r.hku = std::make_shared<Key>();
  r.handles.clear();
  r.watches.clear();
  r.armingHook = nullptr;
  r.nextHandle = 0x1000;
  // Every Windows has the class root; the 32-bit view's roots come with SetWow64.
  std::shared_ptr<Key> key;
  auto software = std::make_shared<Key>();
  software->name = L"SOFTWARE";
  software->parent = r.hklm.get();
  r.hklm->subkeys[L"SOFTWARE"] = software;
  auto classes = std::make_shared<Key>();
  classes->name = L"Classes";
  classes->parent = software.get();
  software->subkeys[L"CLASSES"] = classes;
  auto clsid = std::make_shared<Key>();
  clsid->name = L"CLSID";
  clsid->parent = classes.get();
  classes->subkeys[L"CLSID"] = clsid;
}
sim::ResetRegistration registration(ResetRegistry);

std::vector<std::wstring> SplitPath(const wchar_t *path) {
  std::vector<std::wstring> parts;
  if (!path) return parts;
  std::wstring part;
  for (const wchar_t *p = path; *p; ++p) {
    if (*p == L'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(*p);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::shared_ptr<Key> Child(const std::shared_ptr<Key> &key, const std::wstring &name) {
  auto it = key->subkeys.find(Fold(name));
  return it == key->subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<Key> CreateChild(const std::shared_ptr<Key> &key, const std::wstring &name, bool *created) {
  auto existing = Child(key, name);
  if (existing) return existing;
  auto child = std::make_shared<Key>();
  child->name = name;
  child->parent = key.get();
  key->subkeys[Fold(name)] = child;
  if (created) {
    if (!*created) Reg().createdUnder = key.get();
    *created = true;
  }
  return child;
}

// Resolves a handle (predefined root or opened key) to its key; null when the handle is unknown.
std::shared_ptr<Key> Resolve(HKEY handle) {
  auto &r = Reg();
  if (handle == HKEY_CURRENT_USER) return r.hkcu;
  if (handle == HKEY_LOCAL_MACHINE) return r.hklm;
  if (handle == HKEY_USERS) return r.hku;
  if (handle == HKEY_CLASSES_ROOT) {
    auto software = CreateChild(r.hklm, L"SOFTWARE", nullptr);
    return CreateChild(software, L"Classes", nullptr);
  }
  auto it = r.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == r.handles.end() ? nullptr : it->second;
}

HKEY NewHandle(const std::shared_ptr<Key> &key) {
  auto &r = Reg();
  uintptr_t value = r.nextHandle;
  r.nextHandle += 4;
  r.handles[value] = key;
  return reinterpret_cast<HKEY>(value);
}

const wchar_t kWow64Node[] = L"Wow6432Node";

bool IsKey(const Key &key, const Key *parent, const wchar_t *name) {
  return key.parent == parent && Fold(key.name) == Fold(name);
}

// Whether, in the 32-bit view, the child `name` of `key` lies under key\Wow6432Node: the
// children of HKLM\SOFTWARE (but Classes, which has its own) and the redirected class keys.
// Wow6432Node itself is never redirected, so a path that names it is not doubled.
bool IsRedirected(const Key &key, const std::wstring &name) {
  std::wstring folded = Fold(name);
  if (folded == Fold(kWow64Node)) return false;
  const Key *hklm = Reg().hklm.get();
  if (IsKey(key, hklm, L"SOFTWARE")) return folded != L"CLASSES";
  if (key.parent && IsKey(*key.parent, hklm, L"SOFTWARE") && IsKey(key, key.parent, L"Classes")) {
    static const wchar_t *const kRedirectedClassKeys[] = {L"CLSID", L"DIRECTSHOW", L"INTERFACE", L"MEDIA TYPE",
                                                          L"MEDIAFOUNDATION"};
    for (const wchar_t *redirected : kRedirectedClassKeys)
      if (folded == redirected) return true;
  }
  return false;
}

// The view a registry call sees: the 32-bit one in a WOW64 process unless KEY_WOW64_64KEY asks
// for the other, and whenever KEY_WOW64_32KEY asks for it.
bool Sees32BitView(REGSAM sam) {
  if (sam & KEY_WOW64_32KEY) return true;
  if (sam & KEY_WOW64_64KEY) return false;
  return sim::ProcessIsWow64();
}

// Physical paths unless `sam` says otherwise: the test-facing calls see the registry as stored.
LONG Walk(HKEY root, const wchar_t *path, bool create, std::shared_ptr<Key> *out, bool *created,
          REGSAM sam = KEY_WOW64_64KEY) {
  auto key = Resolve(root);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  bool view32 = Sees32BitView(sam);
  for (const auto &part : SplitPath(path)) {
    if (part.size() > 255) return ERROR_INVALID_PARAMETER;
    if (view32 && IsRedirected(*key, part)) {
      auto node = create ? CreateChild(key, kWow64Node, created) : Child(key, kWow64Node);
      if (!node) return ERROR_FILE_NOT_FOUND;
      key = node;
    }
    auto next = create ? CreateChild(key, part, created) : Child(key, part);
    if (!next) return ERROR_FILE_NOT_FOUND;
    if (next->denyError != ERROR_SUCCESS) return next->denyError;
    key = next;
  }
  *out = key;
  return ERROR_SUCCESS;
}

bool IsWithin(const Key *key, const Key *ancestor) {
  for (; key; key = key->parent)
    if (key == ancestor) return true;
  return false;
}

// Signals, and ends, the notifications that a change of `kind` on `changed` concerns: those on
// the key itself and those on an ancestor that watch its subtree. A watch whose key is deleted
// fires whatever it asked for, as does one whose handle is closed (`handle`).
void Notify(const Key *changed, DWORD kind, uintptr_t closedHandle = 0) {
  auto &watches = Reg().watches;
  for (size_t i = 0; i < watches.size();) {
    const Watch &w = watches[i];
    bool fires = closedHandle ? w.handle == closedHandle
                              : (w.key->deleted && kind != 0) ||
                                    ((w.filter & kind) &&
                                     (w.key.get() == changed || (w.subtree && IsWithin(changed, w.key.get()))));
    if (fires) {
      sim::SignalEvent(w.event);
      watches.erase(watches.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void MarkDeleted(Key &key) {
  key.deleted = true;
  for (auto &sub : key.subkeys) MarkDeleted(*sub.second);
}

std::wstring ValueKey(const wchar_t *name) { return Fold(name ? name : L""); }

}  // namespace

namespace sim {

void SetRegValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type,
                 const std::vector<uint8_t> &data) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  bool created = false;
  if (Walk(root, path.c_str(), true, &key, &created) != ERROR_SUCCESS) Unimplemented("SetRegValue on a bad root");
  if (created) Notify(Reg().createdUnder, REG_NOTIFY_CHANGE_NAME);
  key->values[Fold(name)] = Value{name, type, data};
  Notify(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
}

void SetRegDword(HKEY root, const std::wstring &path, const std::wstring &name, DWORD value) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetRegValue(root, path, name, REG_DWORD, data);
}

void SetRegString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text) {
  // Stored as UTF-16LE with its terminator, as Windows stores REG_SZ.
  std::vector<uint8_t> data;
  for (wchar_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
  }
  data.push_back(0);
  data.push_back(0);
  SetRegValue(root, path, name, REG_SZ, data);
}

void CreateRegKey(HKEY root, const std::wstring &path) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  Walk(root, path.c_str(), true, &key, nullptr);
}

bool RegKeyExists(HKEY root, const std::wstring &path) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  return Walk(root, path.c_str(), false, &key, nullptr) == ERROR_SUCCESS;
}

bool GetRegValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD *type,
                 std::vector<uint8_t> *data) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  if (Walk(root, path.c_str(), false, &key, nullptr) != ERROR_SUCCESS) return false;
  auto it = key->values.find(Fold(name));
  if (it == key->values.end()) return false;
  if (type) *type = it->second.type;
  if (data) *data = it->second.data;
  return true;
}

void DenyRegKey(HKEY root, const std::wstring &path, LONG error) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  // Walked without honouring refusals on the way, so that a refusal can be changed or lifted.
  std::shared_ptr<Key> key = Resolve(root);
  if (!key) sim::Unimplemented("DenyRegKey under a root that does not resolve");
  for (const auto &part : SplitPath(path.c_str())) key = CreateChild(key, part, nullptr);
  key->denyError = error;
}

void DenyRegKeyAccess(HKEY root, const std::wstring &path, REGSAM denied) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  Walk(root, path.c_str(), true, &key, nullptr);
  key->deniedAccess = denied;
}

int OpenRegHandles() {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  return static_cast<int>(Reg().handles.size());
}

void OnRegNotifyArmed(void (*hook)(const std::wstring &keyName)) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  Reg().armingHook = hook;
}

}  // namespace sim

extern "C" {

// Rights other than the view flags; MAXIMUM_ALLOWED grants whatever the key allows.
bool AccessRefused(const Key &key, REGSAM desired) {
  if (desired & MAXIMUM_ALLOWED) return false;
  return (key.deniedAccess & desired & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY)) != 0;
}

LSTATUS WINAPI RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  LONG status = Walk(root, subKey, false, &key, nullptr, desired);
  if (status != ERROR_SUCCESS) return status;
  if (AccessRefused(*key, desired)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(key);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyW(HKEY root, LPCWSTR subKey, PHKEY result) {
  // The default access of RegOpenKeyW is whatever the key grants.
  return RegOpenKeyExW(root, subKey, 0, MAXIMUM_ALLOWED, result);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM desired,
                               const SECURITY_ATTRIBUTES *, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  bool created = false;
  LONG status = Walk(root, subKey, true, &key, &created, desired);
  if (status != ERROR_SUCCESS) return status;
  if (created) Notify(Reg().createdUnder, REG_NOTIFY_CHANGE_NAME);
  if (AccessRefused(*key, desired)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(key);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyW(HKEY root, LPCWSTR subKey, PHKEY result) {
  return RegCreateKeyExW(root, subKey, 0, nullptr, 0, MAXIMUM_ALLOWED, nullptr, result, nullptr);
}

LSTATUS WINAPI RegCloseKey(HKEY handle) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto &handles = Reg().handles;
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles.end()) return ERROR_INVALID_HANDLE;
  handles.erase(it);
  // A notification asked for on the handle ends with it, signalled.
  Notify(nullptr, 0, reinterpret_cast<uintptr_t>(handle));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY handle, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto key = Resolve(handle);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  auto it = key->values.find(ValueKey(valueName));
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value &value = it->second;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (type) *type = value.type;
  if (!data) {
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  for (DWORD i = 0; i < size; ++i) data[i] = value.data[i];
  *dataSize = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY handle, LPCWSTR valueName, DWORD, DWORD type, const BYTE *data,
                              DWORD dataSize) {
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto key = Resolve(handle);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  Value value{valueName ? valueName : L"", type, std::vector<uint8_t>(data, data + dataSize)};
  key->values[ValueKey(valueName)] = value;
  Notify(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY handle, LPCWSTR valueName) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto key = Resolve(handle);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (!key->values.erase(ValueKey(valueName))) return ERROR_FILE_NOT_FOUND;
  Notify(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY handle, LPCWSTR subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  LONG status = Walk(handle, subKey, false, &key, nullptr, 0);
  if (status != ERROR_SUCCESS) return status;
  // A key with subkeys cannot be deleted, nor can a predefined root or a key that refuses DELETE.
  if (!key->subkeys.empty() || !key->parent || (key->deniedAccess & DELETE)) return ERROR_ACCESS_DENIED;
  Key *parent = key->parent;
  MarkDeleted(*key);
  parent->subkeys.erase(Fold(key->name));
  Notify(parent, REG_NOTIFY_CHANGE_NAME);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteTreeW(HKEY handle, LPCWSTR subKey) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  std::shared_ptr<Key> key;
  LONG status = Walk(handle, subKey, false, &key, nullptr, 0);
  if (status != ERROR_SUCCESS) return status;
  for (auto &sub : key->subkeys) MarkDeleted(*sub.second);
  key->subkeys.clear();
  key->values.clear();
  Notify(key.get(), REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET);
  if (subKey && *subKey && key->parent) {
    MarkDeleted(*key);
    key->parent->subkeys.erase(Fold(key->name));
    Notify(key->parent, REG_NOTIFY_CHANGE_NAME);
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY handle, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                       BOOL asynchronous) {
  if (!asynchronous) sim::Unimplemented("RegNotifyChangeKeyValue waiting in the caller");
  const DWORD legal = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                      REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_THREAD_AGNOSTIC;
  if (notifyFilter & ~legal) return ERROR_INVALID_PARAMETER;
  if (notifyFilter & (REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY))
    sim::Unimplemented("RegNotifyChangeKeyValue for attribute or security changes");
  // Without REG_NOTIFY_THREAD_AGNOSTIC Windows also ends the notification when the calling thread
  // exits; the simulation keeps every notification until it fires or its handle closes.
  auto target = sim::LookupEvent(event);
  if (!target) return ERROR_INVALID_HANDLE;
  void (*hook)(const std::wstring &) = nullptr;
  std::wstring name;
  {
    std::lock_guard<std::recursive_mutex> guard(Reg().lock);
    auto key = Resolve(handle);
    if (key) name = key->name;
    hook = Reg().armingHook;
  }
  if (hook) hook(name);
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto key = Resolve(handle);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  // Like the start of any overlapped operation, asking resets the event: a signal it held from
  // another notification is gone.
  ResetEvent(event);
  // Predefined roots have no handle of their own to end the notification with.
  auto &handles = Reg().handles;
  if (handles.find(reinterpret_cast<uintptr_t>(handle)) == handles.end())
    sim::Unimplemented("RegNotifyChangeKeyValue on a predefined root");
  Reg().watches.push_back(Watch{reinterpret_cast<uintptr_t>(handle), key, watchSubtree != FALSE,
                                notifyFilter, target});
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyW(HKEY handle, DWORD index, LPWSTR name, DWORD nameChars) {
  std::lock_guard<std::recursive_mutex> guard(Reg().lock);
  auto key = Resolve(handle);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = key->subkeys.begin();
  std::advance(it, index);
  const std::wstring &subName = it->second->name;
  if (!name || subName.size() + 1 > nameChars) return ERROR_MORE_DATA;
  wmemcpy(name, subName.c_str(), subName.size() + 1);
  return ERROR_SUCCESS;
}

}  // extern "C"
