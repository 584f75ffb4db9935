// The tool's log: one UTF-8 file that every run appends to, one timestamped line per message.
#pragma once

#include <string>

// Opens the log stream for appending. Only the entry routine opens and closes it.
bool OpenLogStream(const std::wstring &path);
void CloseLogStream();

// Writes one line: the local-time prefix, the message formatted printf-style from a wide format
// (%d for numbers, %ls for wide text), and a line end; the line reaches the file before the call
// returns. Without an open log it does nothing.
void LogLine(const wchar_t *format, ...);
