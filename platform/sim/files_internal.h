// What the file system of the simulated machine shares with the C runtime's encoded streams
// (crt_stream.cpp): sharing locks and the count of open files.
#pragma once

#include <stdio.h>

#include <string>

namespace sim {

bool HostFileLocked(const std::string &hostPath);
void CountOpenFile(int delta);
// _wfopen / _wfsopen with a "ccs=" encoding in the mode.
FILE *OpenEncodedStream(const wchar_t *path, const wchar_t *mode);

}  // namespace sim
