// devpurge's reading of pnputil's enumeration: arbitrary output bytes, delivered in arbitrary
// chunks, through the decoder the child-process runner uses and into the driver-store parser.
//
// Independent references judge the result:
// - the packages: the output is cut into blocks, each starting at a published-name line: one with
//   the English label, or one without the English original-name label whose value (after the
//   first colon, trimmed) is oem<digits>.inf in any letter case. A block whose name is not empty
//   is the device's when any of its lines carries the device identity or names the INF file: on
//   an English original-name line (case kept), or, in a block not begun by the English label, as
//   its whole value in any letter case. Exactly those names, each once, in the order of their
//   blocks, must come out; a line before the first block belongs to no package. The count of
//   named blocks is what the parser reports having seen;
// - the decoding: when the output holds no null byte, decoding it chunk by chunk must give the
//   same text as decoding it whole, its ASCII characters must be exactly the output's ASCII
//   bytes in order (bytes of another code page never take one with them), and every surrogate
//   must be paired (the log can encode it).
//
// Input: two bytes that choose the chunk sizes, then the output.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "package_removal.h"
#include "run_captured.h"

namespace {

bool Contains(const std::wstring &text, const wchar_t *part) { return text.find(part) != std::wstring::npos; }

std::wstring TrimmedValue(const std::wstring &line) {
  size_t colon = line.find(L':');
  if (colon == std::wstring::npos) return std::wstring();
  std::wstring value = line.substr(colon + 1);
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
  while (!value.empty() && blank(value.front())) value.erase(value.begin());
  while (!value.empty() && blank(value.back())) value.pop_back();
  return value;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t &c : text)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  return text;
}

bool LooksLikePublishedName(const std::wstring &value) {
  std::wstring lower = Lower(value);
  if (lower.size() < 8 || lower.compare(0, 3, L"oem") != 0 || lower.compare(lower.size() - 4, 4, L".inf") != 0)
    return false;
  return std::all_of(lower.begin() + 3, lower.end() - 4, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

struct Block {
  std::wstring name;
  bool english = false;
  bool device = false;
};

std::vector<std::wstring> ReferencePackages(const std::wstring &text, int *namedBlocks) {
  std::vector<Block> blocks;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.find(L'\n', start), text.size());
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    std::wstring value = TrimmedValue(line);
    bool englishName = Contains(line, L"Published Name") || Contains(line, L"Published name");
    bool englishOriginal = Contains(line, L"Original Name") || Contains(line, L"Original name");
    if (englishName || (!englishOriginal && LooksLikePublishedName(value)))
      blocks.push_back(Block{value, englishName});
    if (blocks.empty()) continue;
    bool infLine = (englishOriginal && Contains(line, L"vantrel_rev0102.inf")) ||
                   (!blocks.back().english && Lower(value) == L"vantrel_rev0102.inf");
    if (infLine || Contains(line, L"VID_F1E5&PID_7A11&REV_0102")) blocks.back().device = true;
  }
  std::vector<std::wstring> names;
  *namedBlocks = 0;
  for (const Block &block : blocks) {
    if (!block.name.empty()) ++*namedBlocks;
    if (!block.device || block.name.empty()) continue;
    if (std::find(names.begin(), names.end(), block.name) == names.end()) names.push_back(block.name);
  }
  return names;
}

std::wstring DecodeWhole(const std::string &bytes) {
  if (bytes.empty()) return std::wstring();
  int count = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], count);
  return text;
}

std::string Printable(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  // The chunk sizes: a pipe that hands over 1 to `largest` bytes a read, in a pattern from `seed`.
  size_t largest = 1 + input.Byte();
  uint32_t seed = input.Byte();
  std::string output = input.Rest();

  std::wstring text;
  Utf8OutputDecoder decoder;
  for (size_t at = 0; at < output.size();) {
    seed = seed * 1103515245u + 12345u;
    size_t chunk = std::min<size_t>(1 + (seed >> 16) % largest, output.size() - at);
    decoder.Add(output.data() + at, chunk, text);
    at += chunk;
  }
  decoder.Finish(text);
  if (output.find('\0') == std::string::npos) {
    FUZZ_CHECK(text == DecodeWhole(output), "chunked decoding differs from decoding the output whole");
    std::string asciiIn, asciiOut;
    for (char c : output)
      if (static_cast<unsigned char>(c) < 0x80) asciiIn.push_back(c);
    for (wchar_t c : text)
      if (c < 0x80) asciiOut.push_back(static_cast<char>(c));
    FUZZ_CHECK(asciiIn == asciiOut, "the decoded text's ASCII characters differ from the output's ASCII bytes");
    for (size_t i = 0; i < text.size(); ++i) {
      bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF, low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
      bool paired = high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
      FUZZ_CHECK(!low && (!high || paired), "unpaired surrogate at %zu", i);
      if (paired) ++i;
    }
  }

  EnumerationSummary seen;
  std::vector<std::wstring> found = FindDriverPackages(text, &seen);
  int namedBlocks = 0;
  std::vector<std::wstring> expected = ReferencePackages(text, &namedBlocks);
  if (found != expected) {
    for (const std::wstring &name : found) fprintf(stderr, "found:    \"%s\"\n", Printable(name).c_str());
    for (const std::wstring &name : expected) fprintf(stderr, "expected: \"%s\"\n", Printable(name).c_str());
  }
  FUZZ_CHECK(found == expected, "%zu packages found, %zu expected", found.size(), expected.size());
  FUZZ_CHECK(seen.publishedNames == namedBlocks, "%d published names seen, %d expected", seen.publishedNames,
             namedBlocks);
  return 0;
}
