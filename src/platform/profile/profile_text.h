// Text helpers of the INI layer: case folding of names, cutting UTF-8 to a character count,
// UTF-16 files. Internal to the profile layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace profile::text {

// `s` without blanks and tabs at either end.
std::string_view Trim(std::string_view s);
// `s` with letters folded to lower case (see profile.h for which); invalid UTF-8 is kept.
std::string Fold(std::string_view s);
// The first `max_chars` characters of `s`; an invalid byte counts as one character.
std::string_view CutToChars(std::string_view s, std::size_t max_chars);
// UTF-16 bytes (without the mark) to UTF-8; unpaired surrogates become U+FFFD, an odd last
// byte is dropped.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);
// UTF-8 to UTF-16 bytes (without the mark); invalid bytes become U+FFFD.
std::string Utf8ToUtf16(std::string_view text, bool big_endian);

}  // namespace profile::text
