// The process-wide settings record.
#include "settings.h"

AppSettings& Settings() {
  static AppSettings settings;
  return settings;
}
