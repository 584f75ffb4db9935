// Code-page conversions. The ANSI code page of the simulated machine is Windows-1252.
#include <cstring>
#include <cwctype>

#include "sim/machine.h"
#include "strings_internal.h"

namespace {

int failCount = 0;
DWORD failError = 0;

void ResetStrings() {
  failCount = 0;
  failError = 0;
}
sim::ResetRegistration registration(ResetStrings);

// Windows-1252 bytes 0x80 to 0x9F; the rest of the code page equals Latin-1.
const uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Decodes UTF-8 into UTF-16 code units, one U+FFFD per maximal invalid subsequence.
bool DecodeUtf8(const unsigned char *s, int n, bool strict, std::vector<uint16_t> *out) {
  int i = 0;
  while (i < n) {
    unsigned c = s[i];
    if (c < 0x80) {
      out->push_back(static_cast<uint16_t>(c));
      ++i;
      continue;
    }
    int need = 0;
    unsigned cp = 0, lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      out->push_back(0xFFFD);
      ++i;
      continue;
    }
    int j = 1;
    bool ok = true;
    for (; j <= need; ++j) {
      if (i + j >= n) {
        ok = false;
        break;
      }
      unsigned b = s[i + j];
      unsigned low = j == 1 ? lo : 0x80, high = j == 1 ? hi : 0xBF;
      if (b < low || b > high) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      if (strict) return false;
      out->push_back(0xFFFD);
      i += j;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<uint16_t>(cp));
    }
    i += need + 1;
  }
  return true;
}

void EncodeUtf8(const WCHAR *w, int n, std::string *out) {
  for (int i = 0; i < n; ++i) {
    unsigned cp = static_cast<unsigned>(w[i]) & 0xFFFF;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
      unsigned low = static_cast<unsigned>(w[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    sim::AppendUtf8(cp, out);
  }
}

}  // namespace

namespace sim {
void AppendUtf8(unsigned cp, std::string *out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void FailMultiByteToWideChar(int count, DWORD error) {
  failCount = count;
  failError = error;
}
}  // namespace sim

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount) {
  if (!multiByte || multiByteCount == 0 || wideCount < 0 || (wide == nullptr && wideCount != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (failCount > 0) {
    --failCount;
    SetLastError(failError);
    return 0;
  }
  int n = multiByteCount < 0 ? static_cast<int>(strlen(multiByte)) + 1 : multiByteCount;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(multiByte);
  std::vector<uint16_t> units;
  if (codePage == CP_UTF8) {
    if (!DecodeUtf8(s, n, (flags & MB_ERR_INVALID_CHARS) != 0, &units)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else if (codePage == CP_ACP || codePage == 1252) {
    for (int i = 0; i < n; ++i)
      units.push_back(s[i] >= 0x80 && s[i] <= 0x9F ? kCp1252High[s[i] - 0x80] : s[i]);
  } else {
    sim::Unimplemented("MultiByteToWideChar for this code page");
  }
  int needed = static_cast<int>(units.size());
  if (wideCount == 0) return needed;
  if (needed > wideCount) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < needed; ++i) wide[i] = static_cast<WCHAR>(units[i]);
  return needed;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCSTR, LPBOOL usedDefaultChar) {
  if (!wide || wideCount == 0 || multiByteCount < 0 || (!multiByte && multiByteCount != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int n = wideCount < 0 ? static_cast<int>(wcslen(wide)) + 1 : wideCount;
  std::string out;
  if (codePage == CP_UTF8) {
    EncodeUtf8(wide, n, &out);
  } else if (codePage == CP_ACP || codePage == 1252) {
    for (int i = 0; i < n; ++i) {
      unsigned c = static_cast<unsigned>(wide[i]);
      char byte = '?';
      if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        byte = static_cast<char>(c);
      } else {
        for (int k = 0; k < 32; ++k)
          if (kCp1252High[k] == c) byte = static_cast<char>(0x80 + k);
        if (byte == '?' && usedDefaultChar) *usedDefaultChar = TRUE;
      }
      out.push_back(byte);
    }
  } else {
    sim::Unimplemented("WideCharToMultiByte for this code page");
  }
  int needed = static_cast<int>(out.size());
  if (multiByteCount == 0) return needed;
  if (needed > multiByteCount) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(multiByte, out.data(), out.size());
  return needed;
}

LPWSTR WINAPI CharLowerW(LPWSTR text) {
  // A value below 0x10000 is a single character passed by value, as Windows allows.
  uintptr_t value = reinterpret_cast<uintptr_t>(text);
  if (value < 0x10000) return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(std::towlower(static_cast<wint_t>(value))));
  for (WCHAR *p = text; *p; ++p) *p = static_cast<WCHAR>(std::towlower(static_cast<wint_t>(*p)));
  return text;
}

int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    wint_t ca = std::towlower(static_cast<wint_t>(a[i]));
    wint_t cb = std::towlower(static_cast<wint_t>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

}  // extern "C"
