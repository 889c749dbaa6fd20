// Case folding, UTF-8 cutting and UTF-16 conversion for the INI layer.
#include "profile_text.h"

#include "utf8.h"

namespace profile::text {
namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes one UTF-8 sequence at `s[i]`; sets `len` to its length (1 for an invalid byte, which
// gives kInvalid). Overlong forms, surrogates and values above U+10FFFF are invalid.
char32_t Decode(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int n;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    n = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 3;
    cp = b0 & 0x07;
  } else
    return kInvalid;
  if (i + static_cast<std::size_t>(n) >= s.size()) return kInvalid;  // cut short
  for (int k = 1; k <= n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return kInvalid;
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kInvalid;
  len = static_cast<std::size_t>(n) + 1;
  return cp;
}


// Lower case of the letters whose case pairs are simple offsets.
char32_t FoldCodePoint(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 0x20;  // Latin-1
  if (c >= 0x100 && c <= 0x137) return c | 1;      // Latin Extended-A
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;  // Greek
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;                // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

void PutUnit(std::string& out, unsigned unit, bool big_endian) {
  const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
  if (big_endian) {
    out += hi;
    out += lo;
  } else {
    out += lo;
    out += hi;
  }
}

}  // namespace

std::string_view Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string Fold(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len;
    char32_t cp = Decode(s, i, len);
    if (cp == kInvalid)
      out += s[i];
    else if (cp < 0x80)
      out += static_cast<char>(FoldCodePoint(cp));
    else
      ::text::AppendUtf8(out, FoldCodePoint(cp));
    i += len;
  }
  return out;
}

std::string_view CutToChars(std::string_view s, std::size_t max_chars) {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < s.size() && chars < max_chars; ++chars) {
    std::size_t len;
    Decode(s, i, len);
    i += len;
  }
  return s.substr(0, i);
}

std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](std::size_t i) -> unsigned {
    const auto a = static_cast<unsigned char>(bytes[i]),
               b = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (a << 8) | b : (b << 8) | a;
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned u = unit(i);
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      unsigned lo = unit(i + 2);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    ::text::AppendUtf8(out, cp);
  }
  return out;
}

std::string Utf8ToUtf16(std::string_view text, bool big_endian) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len;
    char32_t cp = Decode(text, i, len);
    if (cp == kInvalid) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      PutUnit(out, 0xD800 + (cp >> 10), big_endian);
      PutUnit(out, 0xDC00 + (cp & 0x3FF), big_endian);
    } else {
      PutUnit(out, cp, big_endian);
    }
    i += len;
  }
  return out;
}

}  // namespace profile::text
