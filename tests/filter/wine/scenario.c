/*
 * umftest_scenario: plugs the test bus's child in and out under the answers that matter to
 * usbmodeflt and checks, from the journal of what the child and the function driver saw, that the
 * real usbmodeflt.sys on Wine's kernel sends one vendor request 0xF3 per successful start, only
 * after the drivers below have started the device and before the start reaches the function
 * driver, none on a failed start, leaves the start's result alone whatever becomes of the
 * request, and passes surprise removal and removal down and goes away.
 *
 * Every wait is bounded. The exit code is the number of failed checks (or 100 when the bus is not
 * there at all).
 */
#include <windows.h>
#include <winioctl.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "umftest_journal.h"

/* What the filter must send: an x64 _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, vendor, to the device. */
#define EXPECTED_URB_LENGTH 0x88u
#define EXPECTED_URB_FUNCTION 0x0017u /* URB_FUNCTION_VENDOR_DEVICE */
#define EXPECTED_REQUEST_TYPE 0x40u
#define EXPECTED_REQUEST 0xF3u
#define SUBMIT_URB 0x220003ul /* IOCTL_INTERNAL_USB_SUBMIT_URB */

#define MN_START 0x00u
#define MN_REMOVE 0x02u
#define MN_SURPRISE_REMOVAL 0x17u

#define START_FAILURE ((long)0xC0000182L) /* STATUS_DEVICE_CONFIGURATION_ERROR */
#define URB_FAILURE ((long)0xC0000001L)   /* STATUS_UNSUCCESSFUL */
#define USBD_STALL 0xC0000004ul           /* USBD_STATUS_STALL_PID */
#define DELAY_MS 300u

#define STEP_TIMEOUT_MS 15000u

static const wchar_t FilterDriver[] = L"\\Driver\\" UMFTEST_FILTER_SERVICE;
static const wchar_t FunctionDriver[] = L"\\Driver\\" UMFTEST_FUNCTION_SERVICE;

static int failures;
static HANDLE bus = INVALID_HANDLE_VALUE;
static UMFTEST_JOURNAL journal;

__attribute__((format(printf, 2, 3))) static void Check(int ok, const char *what, ...)
{
  va_list args;

  printf(ok ? "  ok: " : "  FAILED: ");
  va_start(args, what);
  vprintf(what, args);
  va_end(args);
  printf("\n");
  if (!ok) {
    failures++;
  }
}

static int ReadJournal(void)
{
  DWORD bytes = 0;

  if (!DeviceIoControl(bus, IOCTL_UMFTEST_READ_JOURNAL, NULL, 0, &journal, sizeof(journal),
                       &bytes, NULL) ||
      bytes != sizeof(journal)) {
    printf("  reading the journal failed (error %lu)\n", GetLastError());
    return 0;
  }
  return 1;
}

/* The first record of the plug-in with this event (and minor, for PnP), or NULL. */
static const UMFTEST_RECORD *Find(unsigned long plug, unsigned long event, unsigned long minor)
{
  unsigned long i;

  for (i = 0; i < journal.Count; i++) {
    const UMFTEST_RECORD *record = &journal.Records[i];
    if (record->Plug == plug && record->Event == event &&
        ((event != UMFTEST_PDO_PNP && event != UMFTEST_PDO_PNP_DONE) || record->Minor == minor)) {
      return record;
    }
  }
  return NULL;
}

static unsigned long CountEvents(unsigned long plug, unsigned long event)
{
  unsigned long i, count = 0;

  for (i = 0; i < journal.Count; i++) {
    if (journal.Records[i].Plug == plug && journal.Records[i].Event == event) {
      count++;
    }
  }
  return count;
}

/* Polls the journal until the plug-in has the event, for at most STEP_TIMEOUT_MS. */
static const UMFTEST_RECORD *WaitFor(unsigned long plug, unsigned long event)
{
  DWORD start = GetTickCount();

  for (;;) {
    const UMFTEST_RECORD *record = ReadJournal() ? Find(plug, event, 0) : NULL;
    if (record != NULL || GetTickCount() - start > STEP_TIMEOUT_MS) {
      return record;
    }
    Sleep(50);
  }
}

/* What Wine's PnP manager sent the child in one plug-in, for the record; not a check. */
static void ShowPdoRequests(unsigned long plug)
{
  unsigned long i;

  printf("  seen: PnP minor codes at the PDO, in order:");
  for (i = 0; i < journal.Count; i++) {
    if (journal.Records[i].Plug == plug && journal.Records[i].Event == UMFTEST_PDO_PNP) {
      printf(" 0x%02lx", journal.Records[i].Minor);
    }
  }
  printf("; power requests: %lu\n", CountEvents(plug, UMFTEST_PDO_POWER));
}

static unsigned long Seq(const UMFTEST_RECORD *record)
{
  return record != NULL ? record->Sequence : 0;
}

static int SameName(const wchar_t *name, const wchar_t *expected)
{
  return _wcsicmp(name, expected) == 0;
}

typedef struct _SCENARIO {
  const char *title;
  UMFTEST_BEHAVIOUR behaviour;
  int startSucceeds;
} SCENARIO;

static void CheckUrb(const UMFTEST_RECORD *urb)
{
  Check(urb->Code == SUBMIT_URB, "it is IOCTL_INTERNAL_USB_SUBMIT_URB (0x%lx)", urb->Code);
  Check(urb->UrbLength == EXPECTED_URB_LENGTH, "URB length 0x%x", urb->UrbLength);
  Check(urb->UrbFunction == EXPECTED_URB_FUNCTION, "URB_FUNCTION_VENDOR_DEVICE (0x%04x)",
        urb->UrbFunction);
  Check(urb->UrbRequestTypeBits == EXPECTED_REQUEST_TYPE, "request type bits 0x%02x",
        urb->UrbRequestTypeBits);
  Check(urb->UrbRequest == EXPECTED_REQUEST, "bRequest 0x%02x", urb->UrbRequest);
  Check(urb->UrbValue == 0 && urb->UrbIndex == 0, "wValue %u, wIndex %u", urb->UrbValue,
        urb->UrbIndex);
  Check(urb->UrbTransferFlags == 0, "transfer flags 0x%lx (host to device, no short-transfer-OK)",
        urb->UrbTransferFlags);
  Check(urb->UrbTransferBufferLength == 0 && urb->UrbBuffers == 0,
        "no data stage (length %lu, buffers 0x%lx)", urb->UrbTransferBufferLength,
        urb->UrbBuffers);
}

/* One plug-in: start as the scenario says, check what reached the child and the top, unplug. */
static void RunScenario(unsigned long plug, const SCENARIO *scenario)
{
  const UMFTEST_RECORD *add, *start, *startDone, *urb, *urbDone, *fnStart;
  const UMFTEST_RECORD *surprise, *remove, *fnSurprise, *fnRemove, *deleted;
  unsigned long urbs;
  DWORD bytes;

  printf("== %lu: %s\n", plug, scenario->title);
  if (!DeviceIoControl(bus, IOCTL_UMFTEST_PLUG, (void *)&scenario->behaviour,
                       sizeof(scenario->behaviour), NULL, 0, &bytes, NULL)) {
    Check(0, "the bus takes the child in (error %lu)", GetLastError());
    return;
  }

  fnStart = WaitFor(plug, UMFTEST_FN_START_DONE);
  Check(fnStart != NULL, "the start reached the function driver within %u ms", STEP_TIMEOUT_MS);
  if (fnStart == NULL) {
    return;
  }
  /* A filter that sent a late second request would show up here. */
  Sleep(DELAY_MS + 200);
  ReadJournal();
  fnStart = Find(plug, UMFTEST_FN_START_DONE, 0);

  add = Find(plug, UMFTEST_FN_ADD_DEVICE, 0);
  Check(add != NULL && add->Status == 0, "the function driver built its stack (status 0x%08lx)",
        add != NULL ? (unsigned long)add->Status : 0ul);
  if (add != NULL) {
    Check(SameName(add->Names[0], FilterDriver) && SameName(add->Names[1], FunctionDriver) &&
              SameName(add->Names[2], FilterDriver),
          "stack order %ls > %ls > PDO, the function driver on the filter",
          add->Names[1], add->Names[0]);
    Check(add->Code != UMFTEST_FILTERS_NONE, "the function driver found LowerFilters in the %s",
          add->Code == UMFTEST_FILTERS_INSTANCE_KEY        ? "devnode's instance key"
          : add->Code == UMFTEST_FILTERS_DEVICE_PARAMETERS ? "devnode's Device Parameters key"
                                                           : "devnode nowhere");
  }
  start = Find(plug, UMFTEST_PDO_PNP, MN_START);
  startDone = Find(plug, UMFTEST_PDO_PNP_DONE, MN_START);
  Check(start != NULL && startDone != NULL, "the start reached the PDO and the PDO completed it");
  if (start == NULL || startDone == NULL) {
    return;
  }
  Check(SameName(start->Names[0], FilterDriver) && SameName(start->Names[1], FunctionDriver),
        "at the start the PDO has %ls above it, then %ls", start->Names[0], start->Names[1]);
  Check(startDone->Status == scenario->behaviour.StartStatus,
        "the PDO completed the start with 0x%08lx", (unsigned long)startDone->Status);
  Check(fnStart->Status == scenario->behaviour.StartStatus,
        "the function driver got the lower drivers' status 0x%08lx (expected 0x%08lx)",
        (unsigned long)fnStart->Status, (unsigned long)scenario->behaviour.StartStatus);

  urbs = CountEvents(plug, UMFTEST_PDO_URB);
  Check(CountEvents(plug, UMFTEST_PDO_OTHER_IOCTL) == 0, "no other internal request reached the PDO");
  if (scenario->startSucceeds) {
    Check(urbs == 1, "exactly one URB reached the PDO (%lu)", urbs);
    urb = Find(plug, UMFTEST_PDO_URB, 0);
    urbDone = Find(plug, UMFTEST_PDO_URB_DONE, 0);
    if (urb != NULL) {
      CheckUrb(urb);
      Check(Seq(urb) > Seq(startDone), "the request came after the PDO completed the start "
            "(journal %lu > %lu)", Seq(urb), Seq(startDone));
      Check(urbDone != NULL && Seq(urbDone) < Seq(fnStart),
            "the request had finished before the start reached the function driver "
            "(journal %lu < %lu)", Seq(urbDone), Seq(fnStart));
    }
  } else {
    Check(urbs == 0, "no URB reached the PDO on a failed start (%lu)", urbs);
  }

  if (!DeviceIoControl(bus, IOCTL_UMFTEST_UNPLUG, NULL, 0, NULL, 0, &bytes, NULL)) {
    Check(0, "the bus lets the child go (error %lu)", GetLastError());
    return;
  }
  /* The function driver's note on removal is the last thing to happen. */
  fnRemove = WaitFor(plug, UMFTEST_FN_REMOVE_DONE);
  deleted = Find(plug, UMFTEST_PDO_DELETED, 0);
  Check(fnRemove != NULL && deleted != NULL, "the stack was removed and the PDO deleted within %u ms",
        STEP_TIMEOUT_MS);
  if (fnRemove == NULL || deleted == NULL) {
    return;
  }
  surprise = Find(plug, UMFTEST_PDO_PNP, MN_SURPRISE_REMOVAL);
  remove = Find(plug, UMFTEST_PDO_PNP, MN_REMOVE);
  fnSurprise = Find(plug, UMFTEST_FN_SURPRISE_DONE, 0);
  Check(surprise != NULL && fnSurprise != NULL && Seq(surprise) < Seq(fnSurprise) &&
            fnSurprise->Status == 0,
        "surprise removal went from the function driver down to the PDO and back with success");
  Check(remove != NULL && fnRemove != NULL && Seq(surprise) < Seq(remove) &&
            Seq(remove) < Seq(fnRemove) && fnRemove->Status == 0,
        "removal went down to the PDO after the surprise removal, and back with success");
  Check(fnRemove != NULL && fnRemove->Count == 0,
        "usbmodeflt has no device object left once removal is back (%lu)",
        fnRemove != NULL ? fnRemove->Count : 0ul);
  Check(CountEvents(plug, UMFTEST_PDO_URB) == urbs, "no request during removal");
  ShowPdoRequests(plug);
}

int main(void)
{
  static const SCENARIO scenarios[] = {
      {"the drivers below start the device at once; the request succeeds at once",
       {UMFTEST_COMPLETE_NOW, 0, UMFTEST_COMPLETE_NOW, 0, 0, DELAY_MS}, 1},
      {"the same device plugged in again: its second start sends a second request",
       {UMFTEST_COMPLETE_NOW, 0, UMFTEST_COMPLETE_NOW, 0, 0, DELAY_MS}, 1},
      {"the drivers below fail the start",
       {UMFTEST_COMPLETE_NOW, START_FAILURE, UMFTEST_COMPLETE_NOW, 0, 0, DELAY_MS}, 0},
      {"the drivers below pend the start and complete it later with success",
       {UMFTEST_COMPLETE_LATER, 0, UMFTEST_COMPLETE_NOW, 0, 0, DELAY_MS}, 1},
      {"the drivers below pend the start and fail it later",
       {UMFTEST_COMPLETE_LATER, START_FAILURE, UMFTEST_COMPLETE_NOW, 0, 0, DELAY_MS}, 0},
      {"the device fails the request (stall)",
       {UMFTEST_COMPLETE_NOW, 0, UMFTEST_COMPLETE_NOW, URB_FAILURE, USBD_STALL, DELAY_MS}, 1},
      {"the request pends and succeeds later",
       {UMFTEST_COMPLETE_NOW, 0, UMFTEST_COMPLETE_LATER, 0, 0, DELAY_MS}, 1},
      {"the request pends and fails later",
       {UMFTEST_COMPLETE_NOW, 0, UMFTEST_COMPLETE_LATER, URB_FAILURE, USBD_STALL, DELAY_MS}, 1},
  };
  unsigned long i, plug, total = 0, successes = 0;
  DWORD start = GetTickCount();

  setvbuf(stdout, NULL, _IONBF, 0);
  while ((bus = CreateFileW(UMFTEST_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                            OPEN_EXISTING, 0, NULL)) == INVALID_HANDLE_VALUE &&
         GetTickCount() - start < STEP_TIMEOUT_MS) {
    Sleep(100);
  }
  if (bus == INVALID_HANDLE_VALUE) {
    printf("the test bus's control device %ls does not open (error %lu)\n", UMFTEST_CONTROL_PATH,
           GetLastError());
    return 100;
  }

  for (i = 0; i < sizeof(scenarios) / sizeof(scenarios[0]); i++) {
    RunScenario(i + 1, &scenarios[i]);
    successes += scenarios[i].startSucceeds ? 1 : 0;
  }

  printf("== over all plug-ins\n");
  if (ReadJournal()) {
    for (plug = 1; plug <= i; plug++) {
      total += CountEvents(plug, UMFTEST_PDO_URB);
    }
    Check(total == successes, "%lu requests for %lu successful starts", total, successes);
    Check(journal.Lost == 0, "the journal kept every record (%lu lost)", journal.Lost);
  }
  CloseHandle(bus);

  printf("umftest_scenario: %d check(s) failed\n", failures);
  return failures;
}
