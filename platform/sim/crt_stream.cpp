// The C runtime's Unicode-mode file streams: _wfopen / _wfsopen with "ccs=UTF-8" in the mode.
//
// Such a stream takes wide characters (UTF-16 code units, as the runtime's wide output functions
// and fwrite of WCHAR data hand them over) and writes them to the file as UTF-8, in text mode: each
// line feed leaves as CR LF. Opened for appending, a file that is new or empty first receives the
// UTF-8 byte-order mark; a file with content keeps it and the new text goes at its end.
//
// Natively the stream is a host stream whose bytes are the units of the host's wchar_t; it joins
// surrogate pairs (and takes a unit above 0xFFFF as the character itself), so that what reaches
// the file is what the Windows runtime writes.
#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <cwctype>

#include "files_internal.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "strings_internal.h"

namespace {

struct Utf8Stream {
  FILE *file;
  std::string pendingBytes;  // part of a wchar_t not yet complete
  unsigned highSurrogate = 0;
};

void PutUtf8(unsigned cp, std::string *out) { sim::AppendUtf8(cp, out); }

const unsigned kReplacement = 0xFFFD;

void PutUnit(Utf8Stream *stream, unsigned unit, std::string *out) {
  if (stream->highSurrogate) {
    unsigned high = stream->highSurrogate;
    stream->highSurrogate = 0;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      PutUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), out);
      return;
    }
    PutUtf8(kReplacement, out);
  }
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    stream->highSurrogate = unit;
  } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit > 0x10FFFF) {
    PutUtf8(kReplacement, out);
  } else if (unit == L'\n') {
    out->append("\r\n");
  } else {
    PutUtf8(unit, out);
  }
}

ssize_t StreamWrite(void *cookie, const char *buffer, size_t size) {
  auto *stream = static_cast<Utf8Stream *>(cookie);
  stream->pendingBytes.append(buffer, size);
  size_t whole = stream->pendingBytes.size() / sizeof(wchar_t) * sizeof(wchar_t);
  std::string out;
  for (size_t i = 0; i < whole; i += sizeof(wchar_t)) {
    wchar_t unit;
    memcpy(&unit, stream->pendingBytes.data() + i, sizeof(unit));
    PutUnit(stream, static_cast<unsigned>(unit), &out);
  }
  stream->pendingBytes.erase(0, whole);
  if (!out.empty() && fwrite(out.data(), 1, out.size(), stream->file) != out.size()) return -1;
  // What the runtime flushes is in the file, where another reader sees it.
  if (fflush(stream->file) != 0) return -1;
  return static_cast<ssize_t>(size);
}

int StreamClose(void *cookie) {
  auto *stream = static_cast<Utf8Stream *>(cookie);
  if (!stream->pendingBytes.empty())
    sim::Unimplemented("narrow output on a Unicode-mode stream (the runtime rejects it)");
  if (stream->highSurrogate) {
    std::string out;
    PutUtf8(kReplacement, &out);
    fwrite(out.data(), 1, out.size(), stream->file);
  }
  int result = fclose(stream->file);
  delete stream;
  sim::CountOpenFile(-1);
  return result;
}

bool SameAscii(const std::wstring &a, const wchar_t *b) {
  size_t n = wcslen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
  return true;
}

std::wstring Trim(const std::wstring &text) {
  size_t begin = text.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return std::wstring();
  size_t end = text.find_last_not_of(L" \t");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

namespace sim {

FILE *OpenEncodedStream(const wchar_t *path, const wchar_t *mode) {
  std::wstring m(mode);
  size_t comma = m.find(L',');
  std::wstring access = Trim(m.substr(0, comma));
  std::wstring option = Trim(m.substr(comma + 1));
  if (option.size() < 4 || !SameAscii(option.substr(0, 4), L"ccs=")) {
    errno = EINVAL;
    return nullptr;
  }
  std::wstring encoding = Trim(option.substr(4));
  if (SameAscii(encoding, L"UNICODE") || SameAscii(encoding, L"UTF-16LE"))
    Unimplemented("_wfopen with a UTF-16 encoding");
  if (!SameAscii(encoding, L"UTF-8") || access.find(L'b') != std::wstring::npos) {
    errno = EINVAL;
    return nullptr;
  }
  if (access != L"a" && access != L"at") Unimplemented("_wfopen with ccs= in a mode other than \"a\"");

  std::string host = HostPath(FullPath(path));
  if (host.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  if (HostFileLocked(host)) {
    errno = EACCES;
    return nullptr;
  }
  struct stat st;
  bool exists = stat(host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    errno = EACCES;
    return nullptr;
  }
  if (exists && st.st_size >= 2) {
    // The runtime reads the mark of a file with content, and a UTF-16 mark would switch the
    // stream to UTF-16.
    unsigned char mark[2] = {0, 0};
    if (FILE *probe = fopen(host.c_str(), "rb")) {
      if (fread(mark, 1, 2, probe) != 2) mark[0] = 0;
      fclose(probe);
    }
    if (mark[0] == 0xFF && mark[1] == 0xFE) Unimplemented("appending in UTF-8 mode to a UTF-16 file");
  }
  FILE *file = fopen(host.c_str(), "ab");
  if (!file) return nullptr;
  if (!exists || st.st_size == 0) {
    static const char kBom[] = "\xEF\xBB\xBF";
    fwrite(kBom, 1, 3, file);
    fflush(file);
  }
  auto *stream = new Utf8Stream{file, std::string(), 0};
  cookie_io_functions_t io{nullptr, StreamWrite, nullptr, StreamClose};
  FILE *result = fopencookie(stream, "a", io);
  if (!result) {
    fclose(file);
    delete stream;
    return nullptr;
  }
  CountOpenFile(1);
  return result;
}

}  // namespace sim
