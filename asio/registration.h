// Self-registration of the driver: the class keys under HKEY_CLASSES_ROOT, the driver's key under
// the ASIO key of HKEY_LOCAL_MACHINE, and the registry routines they are built from.
#pragma once

#include <windows.h>
#include <objbase.h>

// Capacity, in characters, of every key path and module path these routines build or read.
enum { kRegistryPathChars = 360 };

// Results of the registration routines besides 0.
enum {
  kRegistrationModuleNotFound = -101,
  kRegistrationEmptyModulePath = -102,
  kRegistrationClassIdText = -103,
  // A key path that would not fit kRegistryPathChars: nothing is written or deleted.
  kRegistrationPathTooLong = -104
};

// True when this 32-bit process runs on 64-bit Windows; false also when the system has no
// IsWow64Process at all.
BOOL RunningUnderWow64();

int WriteDriverRegistration(REFCLSID classId, const WCHAR *moduleFileName, const WCHAR *driverName,
                            const WCHAR *description, const WCHAR *threadingModel);
int RemoveDriverRegistration(REFCLSID classId, const WCHAR *moduleFileName, const WCHAR *driverName);

// 1 when root\path opens, 0 when it does not, -1 for a null path or one that is too long.
int KeyExists(HKEY root, const WCHAR *path);
// Creates root\parentPath\childName unless it exists. 0 or -1.
int CreateChildKey(HKEY root, const WCHAR *parentPath, const WCHAR *childName);
// REG_SZ value (null name: the key's default value). 0 or -1.
int WriteStringValue(HKEY root, const WCHAR *path, const WCHAR *valueName, const WCHAR *text);
// Reads a value of at most `capacity` bytes into buffer, whatever its type. 0 or -1.
int ReadStringValue(HKEY root, const WCHAR *path, const WCHAR *valueName, WCHAR *buffer, DWORD capacity);
// Deletes root\parentPath\childName with everything below it. 0, or -1 when the parent does not
// open or the key itself cannot be opened for deletion.
int DeleteKeyTree(HKEY root, const WCHAR *parentPath, const WCHAR *childName);

// One key of a tree being deleted.
struct KeyTreeNode {
  HKEY parentKey;
  HKEY key;
  WCHAR *name;
  KeyTreeNode *next;
};

// Appends `name` (below parentKey, opened as `key` unless key is null) and all its descendants
// after `tail` in post-order, and returns the new tail. A key that does not open for full access
// is left out with everything below it.
KeyTreeNode *CollectKeyTree(HKEY parentKey, HKEY key, DWORD index, WCHAR *name, KeyTreeNode *tail);
