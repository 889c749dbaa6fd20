// Numbers in INI values, read and written the same way whatever locale the process runs in
// (the GUI toolkit sets the user's locale, and a French one writes "1,5").
#include <locale.h>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "profile.h"

namespace profile {

int ParseInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  return v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

double ParseReal(std::string_view text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  std::string s(text.substr(0, text.find('\0')));
  double v = c_locale ? strtod_l(s.c_str(), nullptr, c_locale) : std::strtod(s.c_str(), nullptr);
  if (std::isnan(v)) return 0.0;
  // Infinity spelled out reads as 0; an overflowing number keeps its HUGE_VAL.
  if (std::isinf(v) && s.find_first_of("iI") != std::string::npos) return 0.0;
  return v;
}

std::string FormatReal(double value, int decimals) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return "0";
  return std::string(buf, r.ptr);
}

}  // namespace profile
