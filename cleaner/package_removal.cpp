#include "package_removal.h"

#include <windows.h>

#include <algorithm>

#include "identity.h"
#include "log.h"
#include "run_captured.h"

namespace {

const wchar_t kEnumerateCommand[] = L"pnputil.exe /enum-drivers";
const wchar_t kDeleteCommandStart[] = L"pnputil.exe /delete-driver ";
const wchar_t kDeleteWithUninstall[] = L" /uninstall /force";
const wchar_t kDeleteForceOnly[] = L" /force";

bool Contains(const std::wstring &line, const wchar_t *text) { return line.find(text) != std::wstring::npos; }

// Removes blanks, tabs, carriage returns and line feeds from both ends; a value made only of
// them is empty.
std::wstring Trim(const std::wstring &text) {
  const wchar_t kBlanks[] = L" \t\r\n";
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::wstring::npos) return std::wstring();
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// The name goes into the command line without quotes, so anything that would split it into
// several arguments could make pnputil act on a package the tool never matched.
bool IsSingleArgument(const std::wstring &name) {
  for (wchar_t c : name)
    if (c == L' ' || c == L'\t' || c == L'"' || c < 0x20) return false;
  return true;
}

// Formats a delete command for the package into the caller's buffer; false when it does not fit.
template <size_t N>
bool FormatDeleteCommand(wchar_t (&buffer)[N], const std::wstring &name, const wchar_t *options) {
  std::wstring command = kDeleteCommandStart + name + options;
  if (command.size() >= N) return false;
  std::copy(command.begin(), command.end(), buffer);
  buffer[command.size()] = L'\0';
  return true;
}

}  // namespace

std::vector<std::wstring> FindDriverPackages(const std::wstring &enumeration) {
  std::vector<std::wstring> packages;
  std::wstring publishedName;
  bool matched = false;
  size_t start = 0;
  while (start < enumeration.size()) {
    size_t end = enumeration.find(L'\n', start);
    if (end == std::wstring::npos) end = enumeration.size();
    // A carriage return before the line feed stays part of the line; trimming removes it.
    std::wstring line = enumeration.substr(start, end - start);
    start = end + 1;

    // Each block of the enumeration begins with its published name; what matched in the block
    // before belongs to that block alone. A block whose name cannot be read has no name: its
    // matches must not be taken for the package of the block before.
    if (Contains(line, L"Published Name") || Contains(line, L"Published name")) {
      matched = false;
      size_t colon = line.find(L':');
      publishedName = colon == std::wstring::npos ? std::wstring() : Trim(line.substr(colon + 1));
    }
    if ((Contains(line, L"Original Name") || Contains(line, L"Original name")) && Contains(line, kTargetInfName)) {
      LogLine(L"Found matching original name: %ls", kTargetInfName);
      matched = true;
    }
    if (Contains(line, kTargetIdentity)) {
      LogLine(L"Found matching hardware ID in driver package");
      matched = true;
    }
    if (matched && !publishedName.empty() &&
        std::find(packages.begin(), packages.end(), publishedName) == packages.end()) {
      packages.push_back(publishedName);
      LogLine(L"Added driver package for removal: %ls", publishedName.c_str());
    }
  }
  return packages;
}

int RemoveDriverPackages(bool &rebootRequired) {
  LogLine(L"Searching for driver packages in Driver Store...");
  std::wstring enumeration;
  DWORD enumerationExit = 0;
  // Only a failure to start counts: pnputil's exit code says nothing the output does not.
  if (!RunCaptured(kEnumerateCommand, enumerationExit, enumeration)) {
    LogLine(L"ERROR: Failed to run pnputil /enum-drivers");
    return kResultPackageRemovalFailed;
  }

  std::vector<std::wstring> packages = FindDriverPackages(enumeration);
  if (packages.empty()) {
    LogLine(L"No matching driver packages found in Driver Store");
    return kResultSuccess;
  }

  for (const std::wstring &name : packages) {
    wchar_t command[512];
    if (!IsSingleArgument(name)) {
      LogLine(L"WARNING: Published name is not a single command-line argument, package skipped: %ls", name.c_str());
      continue;
    }
    if (!FormatDeleteCommand(command, name, kDeleteWithUninstall)) {
      LogLine(L"WARNING: Published name too long for the delete command, package skipped: %ls", name.c_str());
      continue;
    }
    LogLine(L"Removing driver package: %ls", name.c_str());
    std::wstring output;
    DWORD exitCode = 0;
    if (!RunCaptured(command, exitCode, output)) {
      LogLine(L"ERROR: Failed to run pnputil /delete-driver");
      return kResultPackageRemovalFailed;
    }
    if (exitCode == 0) {
      LogLine(L"Driver package removed successfully: %ls", name.c_str());
      continue;
    }
    LogLine(L"WARNING: pnputil returned exit code %d", static_cast<int>(exitCode));
    LogLine(L"Output: %ls", output.c_str());

    // When taking the driver off the devices that use it fails, deleting the package by itself
    // may still succeed.
    FormatDeleteCommand(command, name, kDeleteForceOnly);  // shorter than the first: it fits
    exitCode = 0;
    if (RunCaptured(command, exitCode, output) && exitCode == 0) {
      LogLine(L"Driver package removed (without /uninstall): %ls", name.c_str());
    } else {
      rebootRequired = true;
      LogLine(L"Driver removal may require reboot");
    }
  }
  return kResultSuccess;
}
