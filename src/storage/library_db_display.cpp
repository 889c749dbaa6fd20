// The list lines the library database forms for bookmarks and scheduled events.
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "library_db.h"

namespace {

bool IsUrlText(const std::string& text) {
  for (const char* scheme : {"http://", "https://", "ftp://"}) {
    const std::size_t n = std::char_traits<char>::length(scheme);
    if (text.size() >= n && ::strncasecmp(text.c_str(), scheme, n) == 0) return true;
  }
  return false;
}

const char* ActionWord(int action) {
  switch (action) {
    case 0:
      return "Play";
    case 1:
      return "Record";
    case 2:
      return "Play+Record";
    default:
      return "Unknown";
  }
}

const char* RepeatWord(int repeat) {
  static const char* const kWords[] = {"Once",     "Daily",    "Weekly",
                                       "Weekdays", "Weekends", "Monthly"};
  return repeat >= 0 && repeat < 6 ? kWords[repeat] : "Unknown";
}

}  // namespace

std::string BookmarkDisplayLine(const std::string& path, double seconds) {
  // Whole seconds, truncated toward zero; nonsense (negative, NaN, absurdly large) shows as 0.
  long long whole = 0;
  if (seconds >= 1 && seconds < 1e12) whole = static_cast<long long>(std::trunc(seconds));
  const long long h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  char time[48];
  if (h >= 1)
    std::snprintf(time, sizeof time, "%lld:%02lld:%02lld", h, m, s);
  else
    std::snprintf(time, sizeof time, "%lld:%02lld", m, s);

  // A URL shows whole; a path shows its file name (a Windows path from a playlist too).
  std::string name = path;
  if (!IsUrlText(path)) {
    const std::size_t sep = path.find_last_of("/\\");
    if (sep != std::string::npos) name = path.substr(sep + 1);
  }
  return name + " @ " + time;
}

std::string ScheduledEventDisplayLine(const ScheduledEvent& e) {
  char when[64] = "";
  const std::time_t t = static_cast<std::time_t>(e.scheduled_time);
  std::tm local{};
  if (::localtime_r(&t, &local)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);

  std::string line = e.enabled ? "[On] " : "[Off] ";
  line += e.name;
  line += " - ";
  line += ActionWord(e.action);
  line += " @ ";
  line += when;
  line += " (";
  line += RepeatWord(e.repeat_type);
  line += ")";
  if (e.duration > 0) line += " [" + std::to_string(e.duration) + " min]";
  return line;
}
