// The link from logic to the main window.
#include "shell.h"

#include <atomic>

#include "tr.h"

namespace shell {

namespace {
std::atomic<MainWindow*> g_main{nullptr};
}

void SetMainWindow(MainWindow* window) { g_main = window; }
MainWindow* Main() { return g_main; }

void ShowMessage(const std::string& text, Icon icon) {
  if (MainWindow* w = g_main) w->ShowMessage(text, Tr("Sonderlane"), icon);
}

}  // namespace shell
