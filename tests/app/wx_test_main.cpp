// The main of every test program of the wx interface: starts wx (under Xvfb) and turns wx
// assertions into test failures instead of message boxes nobody would close.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/wx.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  wxSetAssertHandler([](const wxString& file, int line, const wxString& func, const wxString& cond,
                        const wxString& msg) {
    ADD_FAILURE_AT(file.utf8_string().c_str(), line)
        << "wx assertion " << cond.utf8_string() << " in " << func.utf8_string() << ": "
        << msg.utf8_string();
  });
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr, "wxWidgets could not start: no display (run under xvfb-run -a)\n");
    return 1;
  }
  int result = RUN_ALL_TESTS();
  wxEntryCleanup();
  return result;
}
