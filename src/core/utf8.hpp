// UTF-8 helpers shared by the core.
#pragma once

#include <string>
#include <string_view>

namespace quorvatel {

/// Appends the UTF-8 form of `cp` (a Unicode scalar value).
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

/// Decodes UTF-8 into code points. Bytes that do not form a well-formed
/// sequence each become U+FFFD, so any byte string gives some term.
[[nodiscard]] std::u32string decode_utf8(std::string_view utf8);

/// The UTF-8 form of a sequence of code points.
[[nodiscard]] std::string encode_utf8(std::u32string_view text);

}  // namespace quorvatel
