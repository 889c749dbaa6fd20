// Position memory: resume long media where it was left.
#include "position_memory.h"

#include "library_db.h"
#include "player.h"
#include "settings.h"
#include "tempo.h"

namespace {

// The length of what is loaded when position memory applies to it, else 0.
double RememberableLength() {
  const int minutes = Settings().RememberPosMinutes;
  if (minutes <= 0 || Player().output == 0) return 0;
  TempoProcessor* tp = CurrentTempoProcessor();
  double length = tp->IsActive() ? tp->GetLengthSeconds() : 0;
  return length >= minutes * 60.0 ? length : 0;
}

}  // namespace

double ResumePosition(const std::string& path) {
  double length = RememberableLength();
  if (length <= 0) return 0;
  double stored = Library().LoadPosition(path);
  return (stored > 0 && stored < length) ? stored : 0;
}

void SaveItemPosition(const std::string& path) {
  if (RememberableLength() <= 0) return;
  Library().SavePosition(path, CurrentTempoProcessor()->GetPositionSeconds());
}
