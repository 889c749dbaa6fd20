// Transport: position, stop, and the clock text.
#include "transport.h"

#include <cstdio>

#include "audio.h"
#include "player.h"
#include "shell.h"
#include "tempo.h"

double GetPosition() {
  TempoProcessor* tp = CurrentTempoProcessor();
  return (Player().output && tp->IsActive()) ? tp->GetPositionSeconds() : 0;
}

void StopCommand() {
  PlayerState& p = Player();
  if (p.live) {
    ReleaseStreams();
    p.info_channel = 0;
    p.live = false;
    p.bitrate = 0;
    DestroyTempoProcessor();
  } else if (p.output) {
    audio::ChannelStop(p.output);
    CurrentTempoProcessor()->SetPositionSeconds(0);
  }
  if (shell::MainWindow* w = shell::Main()) {
    w->UpdateWindowTitle();
    w->UpdateStatusBar();
  }
}

std::string FormatClock(double seconds) {
  long whole = seconds > 0 ? static_cast<long>(seconds) : 0;
  long h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  char text[32];
  if (h < 1) {
    std::snprintf(text, sizeof text, "%ld:%02ld", m, s);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
  }
  return text;
}
