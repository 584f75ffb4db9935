#include "registration.h"

#include <string.h>
#include <wchar.h>

namespace {

const WCHAR kClassRoot[] = L"CLSID";
const WCHAR kSoftwareRoot[] = L"SOFTWARE";
const WCHAR kClassRootWow64[] = L"Wow6432Node\\CLSID";
const WCHAR kSoftwareRootWow64[] = L"SOFTWARE\\Wow6432Node";
const WCHAR kAsioKey[] = L"ASIO";
const WCHAR kInprocServerKey[] = L"InprocServer32";

typedef WCHAR KeyPath[kRegistryPathChars];

// Receives one subkey name at a time while a tree is collected. Shared by every walk, so a walk
// copies each name out before it descends, and registration is not re-entrant.
WCHAR KeyNameBuffer[kRegistryPathChars];

// Joins up to three parts with one backslash each. A path that does not fit is refused, never
// cut short: a shortened path could name another key, and these paths are also deleted.
bool JoinPath(KeyPath &out, const WCHAR *first, const WCHAR *second = nullptr, const WCHAR *third = nullptr) {
  const WCHAR *parts[] = {first, second, third};
  size_t length = 0;
  for (const WCHAR *part : parts) {
    if (!part) break;
    size_t partLength = wcslen(part);
    size_t separator = length > 0 ? 1 : 0;
    if (length + separator + partLength >= _countof(out)) return false;
    if (separator) out[length++] = L'\\';
    wmemcpy(out + length, part, partLength);
    length += partLength;
  }
  out[length] = L'\0';
  return first != nullptr;
}

bool IsPathTooLong(const WCHAR *path) { return wcslen(path) >= kRegistryPathChars; }

WCHAR *CopyName(const WCHAR *name) {
  size_t bytes = (wcslen(name) + 1) * sizeof(WCHAR);
  WCHAR *copy = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, bytes));
  if (copy) memcpy(copy, name, bytes);
  return copy;
}

void FreeHeap(void *block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

// What both registration routines work with: the view's roots, the module's lower-cased path
// and the class identifier as text, with every key path they touch built up front.
struct RegistrationPaths {
  const WCHAR *classRoot = nullptr;
  const WCHAR *softwareRoot = nullptr;
  WCHAR modulePath[kRegistryPathChars] = {0};
  LPOLESTR classText = nullptr;
  KeyPath classKey, inprocKey, asioKey, driverKey;

  ~RegistrationPaths() { CoTaskMemFree(classText); }

  int Prepare(REFCLSID classId, const WCHAR *moduleFileName, const WCHAR *driverName) {
    bool wow64 = RunningUnderWow64() != FALSE;
    classRoot = wow64 ? kClassRootWow64 : kClassRoot;
    softwareRoot = wow64 ? kSoftwareRootWow64 : kSoftwareRoot;
    HMODULE module = GetModuleHandleW(moduleFileName);
    if (!module) return kRegistrationModuleNotFound;
    DWORD length = GetModuleFileNameW(module, modulePath, _countof(modulePath));
    // A path that filled the buffer was cut short and would name another file.
    if (length == 0 || length >= _countof(modulePath)) return kRegistrationEmptyModulePath;
    CharLowerW(modulePath);
    if (FAILED(StringFromCLSID(classId, &classText)) || !classText) return kRegistrationClassIdText;
    if (!JoinPath(classKey, classRoot, classText) || !JoinPath(inprocKey, classKey, kInprocServerKey) ||
        !JoinPath(asioKey, softwareRoot, kAsioKey) || !driverName || !JoinPath(driverKey, asioKey, driverName))
      return kRegistrationPathTooLong;
    return 0;
  }
};

// True when the class keys name this module already (compared without regard to case).
bool ClassNamesModule(const RegistrationPaths &paths) {
  // Room for the longest module path with its terminator, and one character more that the read
  // never fills, so that the text ends in a null even when the stored data has none.
  WCHAR registered[kRegistryPathChars + 1] = {0};
  if (ReadStringValue(HKEY_CLASSES_ROOT, paths.inprocKey, nullptr, registered,
                      sizeof(registered) - sizeof(WCHAR)) != 0)
    return false;
  CharLowerW(registered);
  return wcscmp(registered, paths.modulePath) == 0;
}

}  // namespace

BOOL RunningUnderWow64() {
  typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
  BOOL wow64 = FALSE;
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  // Looked up rather than imported: systems before Windows XP SP2 do not have it.
  FARPROC found = kernel ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
  if (found) {
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(found));
    isWow64Process(GetCurrentProcess(), &wow64);
  }
  return wow64;
}

int WriteDriverRegistration(REFCLSID classId, const WCHAR *moduleFileName, const WCHAR *driverName,
                            const WCHAR *description, const WCHAR *threadingModel) {
  RegistrationPaths paths;
  int prepared = paths.Prepare(classId, moduleFileName, driverName);
  if (prepared != 0) return prepared;

  // Class keys that already name this module are left exactly as they are.
  bool writeClassKeys = true;
  if (KeyExists(HKEY_CLASSES_ROOT, paths.classKey) == 1) {
    writeClassKeys = !ClassNamesModule(paths);
    if (writeClassKeys) DeleteKeyTree(HKEY_CLASSES_ROOT, paths.classRoot, paths.classText);
  }
  if (writeClassKeys) {
    CreateChildKey(HKEY_CLASSES_ROOT, paths.classRoot, paths.classText);
    WriteStringValue(HKEY_CLASSES_ROOT, paths.classKey, nullptr, description);
    CreateChildKey(HKEY_CLASSES_ROOT, paths.classKey, kInprocServerKey);
    WriteStringValue(HKEY_CLASSES_ROOT, paths.inprocKey, nullptr, paths.modulePath);
    WriteStringValue(HKEY_CLASSES_ROOT, paths.inprocKey, L"ThreadingModel", threadingModel);
  }

  if (KeyExists(HKEY_LOCAL_MACHINE, paths.asioKey) == 1) {
    if (KeyExists(HKEY_LOCAL_MACHINE, paths.driverKey) == 1)
      DeleteKeyTree(HKEY_LOCAL_MACHINE, paths.asioKey, driverName);
  } else {
    CreateChildKey(HKEY_LOCAL_MACHINE, paths.softwareRoot, kAsioKey);
  }
  CreateChildKey(HKEY_LOCAL_MACHINE, paths.asioKey, driverName);
  WriteStringValue(HKEY_LOCAL_MACHINE, paths.driverKey, L"CLSID", paths.classText);
  WriteStringValue(HKEY_LOCAL_MACHINE, paths.driverKey, L"Description", description);
  return 0;
}

int RemoveDriverRegistration(REFCLSID classId, const WCHAR *moduleFileName, const WCHAR *driverName) {
  RegistrationPaths paths;
  int prepared = paths.Prepare(classId, moduleFileName, driverName);
  if (prepared != 0) return prepared;
  // Whichever module the class keys name, they go.
  if (KeyExists(HKEY_CLASSES_ROOT, paths.classKey) == 1)
    DeleteKeyTree(HKEY_CLASSES_ROOT, paths.classRoot, paths.classText);
  if (KeyExists(HKEY_LOCAL_MACHINE, paths.asioKey) != 1) return 0;
  // The ASIO key itself stays, even when empty: other drivers' hosts look there.
  if (KeyExists(HKEY_LOCAL_MACHINE, paths.driverKey) == 1)
    DeleteKeyTree(HKEY_LOCAL_MACHINE, paths.asioKey, driverName);
  return 0;
}

int KeyExists(HKEY root, const WCHAR *path) {
  if (!path || IsPathTooLong(path)) return -1;
  HKEY key = nullptr;
  if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) return 0;
  RegCloseKey(key);
  return 1;
}

int CreateChildKey(HKEY root, const WCHAR *parentPath, const WCHAR *childName) {
  KeyPath childPath;
  if (!parentPath || !childName || !JoinPath(childPath, parentPath, childName)) return -1;
  if (KeyExists(root, childPath) == 1) return 0;
  HKEY parent = nullptr;
  if (RegOpenKeyW(root, parentPath, &parent) != ERROR_SUCCESS) return -1;
  HKEY child = nullptr;
  LONG status = RegCreateKeyW(parent, childName, &child);
  if (status == ERROR_SUCCESS) RegCloseKey(child);
  RegCloseKey(parent);
  return status == ERROR_SUCCESS ? 0 : -1;
}

int WriteStringValue(HKEY root, const WCHAR *path, const WCHAR *valueName, const WCHAR *text) {
  if (!path || !text || IsPathTooLong(path)) return -1;
  HKEY key = nullptr;
  if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) return -1;
  DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR));
  LONG status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : -1;
}

int ReadStringValue(HKEY root, const WCHAR *path, const WCHAR *valueName, WCHAR *buffer, DWORD capacity) {
  if (!path || !buffer || IsPathTooLong(path)) return -1;
  HKEY key = nullptr;
  if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS) return -1;
  int result = -1;
  DWORD size = 0;
  if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size <= capacity &&
      RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size) == ERROR_SUCCESS)
    result = 0;
  RegCloseKey(key);
  return result;
}

int DeleteKeyTree(HKEY root, const WCHAR *parentPath, const WCHAR *childName) {
  if (!parentPath || !childName || IsPathTooLong(parentPath)) return -1;
  HKEY parent = nullptr;
  if (RegOpenKeyW(root, parentPath, &parent) != ERROR_SUCCESS) return -1;
  int result = -1;
  WCHAR *name = CopyName(childName);
  if (name) {
    KeyTreeNode head = {nullptr, nullptr, nullptr, nullptr};
    CollectKeyTree(parent, nullptr, 0, name, &head);
    if (head.next) {
      // Leaves first; each node's parent handle belongs to a node further on, still open.
      for (KeyTreeNode *node = head.next; node;) {
        KeyTreeNode *next = node->next;
        RegCloseKey(node->key);
        RegDeleteKeyW(node->parentKey, node->name);
        FreeHeap(node->name);
        FreeHeap(node);
        node = next;
      }
      result = 0;
    }
  }
  RegCloseKey(parent);
  return result;
}

KeyTreeNode *CollectKeyTree(HKEY parentKey, HKEY key, DWORD index, WCHAR *name, KeyTreeNode *tail) {
  // The node takes the name and the key handle. It is made before anything below it refers to
  // the key as a parent, so that a failed allocation leaves no node holding a closed handle.
  KeyTreeNode *node = static_cast<KeyTreeNode *>(HeapAlloc(GetProcessHeap(), 0, sizeof(KeyTreeNode)));
  if (!key && node && RegOpenKeyExW(parentKey, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) key = nullptr;
  if (!node || !key) {
    // Left out with everything below it; the keys above it then refuse deletion too.
    if (key) RegCloseKey(key);
    FreeHeap(node);
    FreeHeap(name);
    return tail;
  }
  // Each subkey's name is copied out of the shared buffer before the walk descends into it,
  // since the descent reuses the buffer.
  for (;; ++index) {
    if (RegEnumKeyW(key, index, KeyNameBuffer, _countof(KeyNameBuffer)) != ERROR_SUCCESS) break;
    WCHAR *subkeyName = CopyName(KeyNameBuffer);
    if (!subkeyName) break;
    tail = CollectKeyTree(key, nullptr, 0, subkeyName, tail);
  }
  *node = KeyTreeNode{parentKey, key, name, nullptr};
  tail->next = node;
  return node;
}
