// UTF conversions at the edges of the support services: UTF-16 announcements become the
// program's UTF-8, and text handed to outside services is made valid UTF-8 first.
#pragma once

#include <string>
#include <string_view>

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// `text` with every invalid UTF-8 sequence (stray continuation bytes, overlong forms,
// surrogates, values above U+10FFFF, cut-off sequences) replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
