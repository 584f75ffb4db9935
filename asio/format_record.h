// The record of an endpoint's default format that the driver replaced, kept in the user's part
// of the registry so that the user's own format comes back however the driver objects that
// changed it end: released in any order, in one process or several, or never (a host that
// crashed or was killed).
//
// One record per endpoint, under HKCU\Software\halvane103\EndpointFormats (a sibling of the
// settings key, so that the settings watch never sees it), in a subkey named after the endpoint
// id ('%' and '\' written as %25 and %5C):
//   "User"     REG_BINARY  the endpoint's format before any driver object changed it
//   "Set"      REG_BINARY  the format the driver set last
//   "Holders"  REG_BINARY  one 12-byte entry per driver object that relies on the record: its
//                          process id, then the process's creation time (FILETIME, low half
//                          first), all little-endian; the time tells a reused id from the holder
// Every value is read as untrusted: a format that does not parse makes the record malformed (no
// record), a holder list whose size is not a multiple of 12 loses its partial entry, and an
// entry with process id 0 is dropped.
//
// Read-modify-write of a record happens under one named mutex for all records, so that driver
// objects in several processes (and the settings program) take turns. The routines that read or
// change the endpoint need COM on the calling thread, as those of endpoint_format.h do.
#pragma once

#include <windows.h>

#include "endpoint_format.h"

#define FORMAT_RECORDS_KEY L"Software\\halvane103\\EndpointFormats"

struct FormatHolder {
  DWORD processId;
  FILETIME created;
};

// What one driver object holds: whether it is among the holders of the record for `id`, and by
// which entry.
struct ReplacedFormat {
  bool active;
  EndpointId id;
  FormatHolder holder;
};

// Makes `wanted` the endpoint's default format, which was `before`, with the record written
// first, so that a crash right after the change still leaves it. The user's format is recorded
// only when no record exists, or when `before` is no longer what the record says the driver set
// (the user chose another format since); this object becomes a holder. When the policy object
// did not take the change, the record is put back as it was. Without a policy object nothing is
// written at all (kNoPolicyObject), and a record that cannot be written changes nothing
// (kRefused with the error in *result). *after is what the endpoint has after the change
// (*afterRead false when it could not be read).
FormatChange ChangeRecordedFormat(ReplacedFormat *held, LPCWSTR id, const FormatBytes &before, const FormatBytes &wanted,
                                  HRESULT *result, FormatBytes *after, bool *afterRead);

// The endpoint already has the stream's format `current`: when that is what a record says the
// driver set, this object relies on it too and becomes a holder, so that another object's
// release does not take the format away under its stream.
void JoinFormatRecord(ReplacedFormat *held, LPCWSTR id, const FormatBytes &current);

// This object lets go of the record. The last live holder puts the user's format back, but only
// while the endpoint still has the one the driver set (a user who chose another meanwhile keeps
// it), and drops the record; a restore that fails (the endpoint cannot be read, the policy object
// refuses) leaves the record, without holders, for the next settling. Clears `held`.
void RestoreEndpointFormat(ReplacedFormat *held);

// Every record whose holders have all gone (their processes ended) is settled by the same rule.
void SettleFormatRecords();

// For the settings program: the record of an endpoint as it stands.
struct FormatRecordView {
  bool exists;
  FormatBytes user;
  FormatBytes set;
  bool held;  // some holder's process still runs
};
void InspectFormatRecord(LPCWSTR id, FormatRecordView *view);
// Settles the endpoint's record now, when no holder lives. 0 when no record is left, -1 when one
// is (a holder lives, or the restore failed).
int PutBackEndpointFormat(LPCWSTR id);
