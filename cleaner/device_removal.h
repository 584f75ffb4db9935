// Removal of every device instance of the Vantrel device, present or phantom, through SetupAPI.
#pragma once

#include <windows.h>

#include <setupapi.h>

// True when the element's hardware-ID list names the device.
bool MatchesTargetHardwareId(HDEVINFO set, SP_DEVINFO_DATA &device);

// Removes every matching instance globally through the class installer. Returns 0 when the
// stage ran to its end (also with warnings), or kResultDeviceRemovalFailed when the device
// information set cannot be built or the class installer refuses a removal with access denied.
int RemoveDeviceInstances();
