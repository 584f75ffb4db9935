// Runs a command line as a hidden child process and captures what it writes.
#pragma once

#include <windows.h>

#include <string>

// Starts the command (its first word found by the system's search for executables) with standard
// output and standard error on one pipe, reads the pipe to its end, decoding UTF-8 into `output`,
// then waits up to 30 seconds for the child and stores its exit code (STILL_ACTIVE, 259, for a
// child that has not ended by then; it is not terminated). Returns false when the pipe or the
// process cannot be created; `output` and `exitCode` are then left as they were.
bool RunCaptured(const std::wstring &commandLine, DWORD &exitCode, std::wstring &output);

// How many of the first `length` bytes form whole UTF-8 characters: an unfinished multi-byte
// character at the end (at most three bytes) is left for the next read.
size_t CompleteUtf8Length(const char *bytes, size_t length);

// Decodes a child's UTF-8 output read by read. A character whose bytes arrive in two reads is
// joined again: the unfinished tail of one read waits for the next. Bytes that are not UTF-8 (a
// child writing in another code page) become U+FFFD, one for each invalid sequence, and never
// take an ASCII byte with them. Each piece is appended up to its first zero character.
class Utf8OutputDecoder {
 public:
  void Add(const char *bytes, size_t length, std::wstring &output);
  // The end of the output: a tail still waiting is appended as it is.
  void Finish(std::wstring &output);

 private:
  std::string pending_;
};
