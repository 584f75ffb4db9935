#include "run_captured.h"

#include <string.h>
#include <wchar.h>

#include <vector>

namespace {

// How long the child may take to end once its output has ended.
const DWORD kChildWaitMilliseconds = 30000;

// How many bytes the UTF-8 character at the start of `bytes` takes; 0 when no valid character
// starts there, and then `invalid` is the length of the longest valid beginning of one (at least
// a byte), which one replacement character stands for.
size_t Utf8CharacterLength(const unsigned char *bytes, size_t length, size_t &invalid) {
  unsigned lead = bytes[0];
  if (lead < 0x80) return 1;
  size_t needed = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range; it excludes overlong forms and surrogates
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  size_t at = 1;
  while (at < needed && at < length && bytes[at] >= (at == 1 ? low : 0x80u) && bytes[at] <= (at == 1 ? high : 0xBFu))
    ++at;
  if (needed != 0 && at == needed) return needed;
  invalid = at;
  return 0;
}

// pnputil writes in the console's code page when its output is a pipe, so the bytes of a label
// need not be UTF-8. Each invalid sequence becomes U+FFFD here rather than in the system's
// decoder, whose handling of invalid bytes differs between Windows versions: an ASCII byte always
// stays the character it is, so values and line ends keep their places behind any label, and the
// log receives only characters it can encode.
std::string WithReplacementCharacters(const char *bytes, size_t length) {
  const unsigned char *in = reinterpret_cast<const unsigned char *>(bytes);
  std::string out;
  out.reserve(length);
  for (size_t at = 0; at < length;) {
    size_t invalid = 0;
    size_t valid = Utf8CharacterLength(in + at, length - at, invalid);
    if (valid != 0) {
      out.append(bytes + at, valid);
      at += valid;
    } else {
      out.append("\xEF\xBF\xBD");
      at += invalid;
    }
  }
  return out;
}

// Appends the bytes decoded as wide text, up to the first zero character.
void AppendDecoded(const char *bytes, size_t length, std::wstring &output) {
  if (length == 0) return;
  std::string utf8 = WithReplacementCharacters(bytes, length);
  int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  // Undecodable: dropped without a message.
  if (count <= 0) return;
  std::vector<wchar_t> text(static_cast<size_t>(count) + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), count);
  output.append(text.data(), wcslen(text.data()));
}

// Reads the pipe until every writer has closed it.
void ReadToEnd(HANDLE readEnd, std::wstring &output) {
  char chunk[4095];
  Utf8OutputDecoder decoder;
  for (;;) {
    DWORD received = 0;
    if (!ReadFile(readEnd, chunk, sizeof(chunk), &received, /* lpOverlapped */ nullptr) || received == 0) break;
    decoder.Add(chunk, received, output);
  }
  decoder.Finish(output);
}

}  // namespace

void Utf8OutputDecoder::Add(const char *bytes, size_t length, std::wstring &output) {
  pending_.append(bytes, length);
  size_t complete = CompleteUtf8Length(pending_.data(), pending_.size());
  AppendDecoded(pending_.data(), complete, output);
  pending_.erase(0, complete);
}

void Utf8OutputDecoder::Finish(std::wstring &output) {
  // Bytes of a character the child never finished still show, as the replacement character.
  AppendDecoded(pending_.data(), pending_.size(), output);
  pending_.clear();
}

size_t CompleteUtf8Length(const char *bytes, size_t length) {
  for (size_t back = 0; back < 3 && back < length; ++back) {
    unsigned char c = static_cast<unsigned char>(bytes[length - 1 - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back for the lead
    size_t needed = 1;
    if (c >= 0xC2 && c <= 0xDF) needed = 2;
    else if (c >= 0xE0 && c <= 0xEF) needed = 3;
    else if (c >= 0xF0 && c <= 0xF4) needed = 4;
    return back + 1 < needed ? length - 1 - back : length;
  }
  return length;
}

bool RunCaptured(const std::wstring &commandLine, DWORD &exitCode, std::wstring &output) {
  // Process creation may write into the command line, so it gets a copy of its own.
  WCHAR command[4096];
  if (commandLine.size() >= _countof(command)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }

  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &security, 0)) return false;
  // The child inherits only the write end; a read end in the child would be a reader the tool
  // does not control.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.wShowWindow = SW_HIDE;
  wmemcpy(command, commandLine.c_str(), commandLine.size() + 1);

  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessW(/* lpApplicationName */ nullptr, command, nullptr, nullptr,
                                /* bInheritHandles */ TRUE, CREATE_NO_WINDOW, /* lpEnvironment */ nullptr,
                                /* lpCurrentDirectory */ nullptr, &startup, &process);
  DWORD startError = GetLastError();
  // The pipe ends only when no write end is left open: the parent's copy goes at once, so that
  // the child's exit is what ends the reads.
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    SetLastError(startError);
    return false;
  }

  output.clear();
  ReadToEnd(readEnd, output);
  WaitForSingleObject(process.hProcess, kChildWaitMilliseconds);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  exitCode = code;

  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(readEnd);
  return true;
}
