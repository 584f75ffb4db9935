// UTF-8 encoding shared by the code-page conversions and the C runtime's UTF-8 streams.
#pragma once

#include <string>

namespace sim {

// Appends the UTF-8 bytes of one code point (at most 0x10FFFF, not a surrogate).
void AppendUtf8(unsigned codePoint, std::string *out);

}  // namespace sim
