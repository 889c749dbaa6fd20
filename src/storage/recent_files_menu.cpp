// The items of the Recent Files submenu as data; the main window turns them into menu items.
#include <cstdio>

#include "settings_file.h"

std::vector<RecentMenuEntry> BuildRecentFilesMenu(const std::vector<std::string>& recent_files) {
  std::vector<RecentMenuEntry> items;
  if (recent_files.empty()) {
    items.push_back({0, "(Empty)", false});
    return items;
  }
  for (std::size_t i = 0; i < recent_files.size() && i < 10; ++i) {
    const std::string& path = recent_files[i];
    std::size_t sep = path.find_last_of("/\\");
    std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    // A '&' in the name would otherwise be taken as an access-key marker.
    std::string shown;
    for (char c : name) {
      shown += c;
      if (c == '&') shown += '&';
    }
    char key[8];
    std::snprintf(key, sizeof key, "&%d ", static_cast<int>((i + 1) % 10));
    items.push_back({kRecentFileCommandBase + static_cast<int>(i), key + shown, true});
  }
  return items;
}
