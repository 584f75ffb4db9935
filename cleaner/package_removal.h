// Removal of the device's driver packages from the driver store through pnputil.exe.
#pragma once

#include <string>
#include <vector>

// What an enumeration held besides the device's packages, so that a run which finds none can
// say what it saw.
struct EnumerationSummary {
  int lines = 0;
  int publishedNames = 0;   // published-name lines that carried a name
  std::wstring firstName;   // the first of those names
  std::wstring sampleLine;  // the first line with a colon, else the first that is not blank; trimmed
};

// The published names of the device's packages in pnputil's enumeration output, each once, in
// the order in which they were first found. Labels may be in any language: a published-name
// line is known by its English label or by its value (oem<digits>.inf). Writes a log line for
// each matching line and each package it adds; fills `summary` when one is given.
std::vector<std::wstring> FindDriverPackages(const std::wstring &enumeration, EnumerationSummary *summary = nullptr);

// Deletes each package with "/uninstall /force", falling back to "/force" alone. Returns 0 when
// the stage ran to its end, or kResultPackageRemovalFailed when pnputil cannot be started for the
// enumeration or for a package's first delete command. Sets `rebootRequired` (and never clears
// it) when a package resists both commands.
int RemoveDriverPackages(bool &rebootRequired);
