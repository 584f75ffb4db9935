// What identifies the Vantrel device and its driver package, and the results the tool reports.
#pragma once

// The full hardware ID, matched as a whole without regard to the case of ASCII letters.
inline constexpr wchar_t kTargetHardwareId[] = L"USB\\VID_F1E5&PID_7A11&REV_0102";
// The identity without the enumerator, matched anywhere in a hardware ID or a pnputil line, case kept.
inline constexpr wchar_t kTargetIdentity[] = L"VID_F1E5&PID_7A11&REV_0102";
// The INF file name of the device's driver package, as pnputil lists it under "Original Name".
inline constexpr wchar_t kTargetInfName[] = L"vantrel_rev0102.inf";

// Results of the entry routine and its stages; a failure code becomes the process exit code.
inline constexpr int kResultSuccess = 0;
inline constexpr int kResultRebootRequired = 1;
inline constexpr int kResultNotElevated = -10;
inline constexpr int kResultDeviceRemovalFailed = -20;
inline constexpr int kResultPackageRemovalFailed = -30;
inline constexpr int kResultLogOpenFailed = -30;
