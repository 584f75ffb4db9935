// Removal of the device's driver packages from the driver store through pnputil.exe.
#pragma once

#include <string>
#include <vector>

// The published names of the device's packages in pnputil's enumeration output, each once, in
// the order in which they were first found. Writes a log line for each matching line and each
// package it adds.
std::vector<std::wstring> FindDriverPackages(const std::wstring &enumeration);

// Deletes each package with "/uninstall /force", falling back to "/force" alone. Returns 0 when
// the stage ran to its end, or kResultPackageRemovalFailed when pnputil cannot be started for the
// enumeration or for a package's first delete command. Sets `rebootRequired` (and never clears
// it) when a package resists both commands.
int RemoveDriverPackages(bool &rebootRequired);
