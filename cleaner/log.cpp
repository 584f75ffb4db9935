#include "log.h"

#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include <vector>

namespace {

FILE *logStream = nullptr;

// The runtime's Unicode append mode: it writes the UTF-8 byte-order mark only into a new or empty
// file, encodes what it is given as UTF-8 and turns each line feed into CR LF.
const wchar_t kLogMode[] = L"a, ccs=UTF-8";

// A message longer than this (in characters) is left out of its line rather than grown without end.
const size_t kMaxMessage = size_t(1) << 26;

void AppendFormattedV(std::wstring &out, const wchar_t *format, va_list args) {
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list attempt;
    va_copy(attempt, args);
    int written = vswprintf(buffer.data(), buffer.size(), format, attempt);
    va_end(attempt);
    // Runtimes report a buffer that is too small either as a negative count or as the length that
    // was needed; the last slot stays free so that a full buffer is never taken for a fitting one.
    if (written >= 0 && static_cast<size_t>(written) < buffer.size() - 1) {
      out.append(buffer.data(), static_cast<size_t>(written));
      return;
    }
    if (buffer.size() >= kMaxMessage) return;
    buffer.resize(buffer.size() * 2);
  }
}

void AppendFormatted(std::wstring &out, const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  AppendFormattedV(out, format, args);
  va_end(args);
}

}  // namespace

bool OpenLogStream(const std::wstring &path) {
  // Other processes may read (and append to) the log while the tool writes it.
  logStream = _wfsopen(path.c_str(), kLogMode, _SH_DENYNO);
  return logStream != nullptr;
}

void CloseLogStream() {
  if (logStream) fclose(logStream);
  logStream = nullptr;
}

void LogLine(const wchar_t *format, ...) {
  if (!logStream) return;
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  std::wstring line;
  AppendFormatted(line, L"[%04d-%02d-%02d %02d:%02d:%02d] ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
  va_list args;
  va_start(args, format);
  AppendFormattedV(line, format, args);
  va_end(args);
  line += L'\n';
  // A Unicode-mode stream takes wide characters as they are; the runtime does the encoding and
  // the line ends. Narrow output functions are not allowed on it.
  fwrite(line.data(), sizeof(wchar_t), line.size(), logStream);
  // Each line is on disk before the tool takes its next step, so a crash or a hung child leaves
  // a log that tells how far it got.
  fflush(logStream);
}
