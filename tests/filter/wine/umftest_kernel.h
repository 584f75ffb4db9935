/* What both test drivers need: the name of the driver a device object belongs to, as the
   journal records it. Kernel mode only. */
#pragma once

#include <wdm.h>

#include "umftest_journal.h"

static void UmfTestCopyName(WCHAR *to, PDEVICE_OBJECT device)
{
  USHORT i, chars;

  to[0] = L'\0';
  if (device == NULL || device->DriverObject == NULL) {
    return;
  }
  chars = device->DriverObject->DriverName.Length / sizeof(WCHAR);
  if (chars > UMFTEST_NAME_CHARS - 1) {
    chars = UMFTEST_NAME_CHARS - 1;
  }
  for (i = 0; i < chars; i++) {
    to[i] = device->DriverObject->DriverName.Buffer[i];
  }
  to[chars] = L'\0';
}
