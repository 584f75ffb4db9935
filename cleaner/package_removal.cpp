#include "package_removal.h"

#include <windows.h>

#include <wchar.h>

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

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsIgnoringAsciiCase(const std::wstring &text, size_t at, size_t count, const wchar_t *expected) {
  if (wcslen(expected) != count || at + count > text.size()) return false;
  for (size_t i = 0; i < count; ++i)
    if (AsciiLower(text[at + i]) != AsciiLower(expected[i])) return false;
  return true;
}

bool EqualsIgnoringAsciiCase(const std::wstring &text, const wchar_t *expected) {
  return EqualsIgnoringAsciiCase(text, 0, text.size(), expected);
}

// The form the driver store gives every published name, whatever the language of Windows:
// "oem", decimal digits, ".inf".
bool IsDriverStoreName(const std::wstring &value) {
  const size_t kFixed = 7;  // "oem" and ".inf"
  if (value.size() <= kFixed) return false;
  if (!EqualsIgnoringAsciiCase(value, 0, 3, L"oem") || !EqualsIgnoringAsciiCase(value, value.size() - 4, 4, L".inf"))
    return false;
  for (size_t i = 3; i < value.size() - 4; ++i)
    if (value[i] < L'0' || value[i] > L'9') return false;
  return true;
}

// A line as the log can show it: without control characters, and not without end.
std::wstring Printable(const std::wstring &line) {
  const size_t kMaxShown = 160;
  std::wstring shown = line.substr(0, kMaxShown);
  for (wchar_t &c : shown)
    if (c < 0x20 || c == 0x7F) c = L' ';
  if (line.size() > kMaxShown) shown += L"...";
  return shown;
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

std::vector<std::wstring> FindDriverPackages(const std::wstring &enumeration, EnumerationSummary *summary) {
  std::vector<std::wstring> packages;
  EnumerationSummary seen;
  bool sampleHasColon = false;
  std::wstring publishedName;
  bool matched = false;
  // Whether the current block began at the English label. Its lines are then read by their
  // English labels alone, exactly as ever; so are the lines before the first block.
  bool englishBlock = true;
  size_t start = 0;
  while (start < enumeration.size()) {
    size_t end = enumeration.find(L'\n', start);
    if (end == std::wstring::npos) end = enumeration.size();
    // A carriage return before the line feed stays part of the line; trimming removes it.
    std::wstring line = enumeration.substr(start, end - start);
    start = end + 1;
    ++seen.lines;

    size_t colon = line.find(L':');
    std::wstring value = colon == std::wstring::npos ? std::wstring() : Trim(line.substr(colon + 1));
    bool englishNameLabel = Contains(line, L"Published Name") || Contains(line, L"Published name");
    bool englishOriginalLabel = Contains(line, L"Original Name") || Contains(line, L"Original name");

    // Each block of the enumeration begins with its published name; what matched in the block
    // before belongs to that block alone. A block whose name cannot be read has no name: its
    // matches must not be taken for the package of the block before.
    // pnputil prints its labels in the language of Windows, but the published name has the same
    // form in every language, so its value marks a block as well as the English label does. The
    // original name is the one other value that could have that form; where its label is English
    // it is told apart, elsewhere it cannot be (the device's own INF name never has that form).
    if (englishNameLabel || (!englishOriginalLabel && IsDriverStoreName(value))) {
      matched = false;
      englishBlock = englishNameLabel;
      publishedName = value;
      if (!value.empty() && seen.publishedNames++ == 0) seen.firstName = Printable(value);
    }
    bool infLine = englishOriginalLabel && Contains(line, kTargetInfName);
    // In a block whose labels the tool cannot read, a line names the INF file by its value alone,
    // in any letter case, as Windows compares file names.
    if (!englishBlock && EqualsIgnoringAsciiCase(value, kTargetInfName)) infLine = true;
    if (infLine) {
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

    if (!sampleHasColon) {
      std::wstring trimmed = Trim(line);
      sampleHasColon = colon != std::wstring::npos;
      if (sampleHasColon || seen.sampleLine.empty()) seen.sampleLine = Printable(trimmed);
    }
  }
  if (summary) *summary = seen;
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

  EnumerationSummary seen;
  std::vector<std::wstring> packages = FindDriverPackages(enumeration, &seen);
  if (packages.empty()) {
    // An output the parser did not foresee must not pass for a store without the device.
    if (seen.publishedNames > 0) {
      LogLine(L"WARNING: %d published name(s) listed (first: %ls), none of them with %ls or %ls",
              seen.publishedNames, seen.firstName.c_str(), kTargetInfName, kTargetIdentity);
    } else if (!enumeration.empty()) {
      LogLine(L"WARNING: No published name recognised in %d line(s) of pnputil output, such as: %ls", seen.lines,
              seen.sampleLine.c_str());
    }
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
