// The settings program's view of every driver object that a host has open, in any process and of
// either bitness: read from the driver's shared status blocks (driver_status.h) and put into words.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "driver_status.h"

// Every driver object listed in the status index whose block can be read, in the index's order;
// at most `capacity` of them. The count read.
size_t ReadLiveStatuses(DriverStatusRecord *records, size_t capacity);

// "32-bit", "32-bit float", ... for a StatusSampleFormat.
const WCHAR *StatusFormatName(UINT32 format);

// The verdict as the status shows it: "bit-perfect", "converted: <why>", "refused: <why>", or
// what stands in for it before a stream was opened.
void DescribeVerdict(const DriverStatusRecord &record, WCHAR *text, size_t textChars);

// A few lines (CR LF between them) on one object: the host, what it asked for, what the endpoint
// runs and the verdict, the buffer and latency, and the stream's counters.
void DescribeLiveStatus(const DriverStatusRecord &record, WCHAR *text, size_t textChars);

// What the status section shows: every object, or a sentence saying no host has the driver open.
void DescribeLiveStatuses(const DriverStatusRecord *records, size_t count, WCHAR *text, size_t textChars);
