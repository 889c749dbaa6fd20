// Announcements end to end: Speak queues from the logic, FlushSpeechQueue joins and hands the
// text to the screen-reader bridge, and the bridge reaches a Speech Dispatcher stand-in through
// libspeechd (SPEECHD_ADDRESS). The session bus points at a missing socket, so the D-Bus Orca
// adapter finds nothing.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_speechd.h"
#include "media.h"
#include "screen_reader.h"
#include "shell.h"
#include "speech.h"

namespace {

using testsupport::ChildProcess;
using testsupport::FakeSpeechd;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

// A main window that only counts kSpeakPending; the test flushes as the UI thread would.
class CountingWindow : public shell::MainWindow {
 public:
  void ShowMessage(const std::string&, const std::string&, shell::Icon) override {}
  void PostCommand(int, long) override {}
  void PostMessage(shell::Message message, long, long) override {
    if (message == shell::kSpeakPending) ++posts;
  }
  void UpdateWindowTitle() override {}
  void UpdateStatusBar() override {}
  std::atomic<int> posts{0};
};

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SpeechTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir_.file("no-bus")).c_str(), 1);
    setenv("SPEECHD_ADDRESS", server_.Address().c_str(), 1);
    screen_reader_testing::SetSpeechdAutospawn(false);
    screen_reader_testing::SetEngines({});
    screen_reader_testing::SetClock(nullptr);
    screen_reader_testing::Reset();
    shell::SetMainWindow(&window_);
    InitSpeech();
  }
  void TearDown() override {
    ShutdownSpeech();
    shell::SetMainWindow(nullptr);
    screen_reader_testing::SetClock(nullptr);
    screen_reader_testing::Reset();
  }

  static std::vector<FakeSpeechd::Event> Only(const FakeSpeechd& server, const std::string& kind) {
    std::vector<FakeSpeechd::Event> out;
    for (const auto& e : server.Events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  std::vector<FakeSpeechd::Event> Spoken() const { return Only(server_, "SPEAK"); }

  TempDir dir_;
  FakeSpeechd server_{dir_.file("speechd.sock")};
  CountingWindow window_;
};

TEST_F(SpeechTest, TextsQueuedBeforeAFlushAreSpokenAsOneUtterance) {
  ASSERT_TRUE(server_.Start());
  Speak("Volume 50", false);
  Speak(std::string("Pitch 0"), true);
  EXPECT_EQ(window_.posts, 2);

  EXPECT_EQ(FlushSpeechQueue(), "Volume 50, Pitch 0");
  EXPECT_EQ(FlushSpeechQueue(), "") << "the second message finds the queue empty";

  std::vector<FakeSpeechd::Event> spoken = Spoken();
  ASSERT_EQ(spoken.size(), 1u);
  EXPECT_EQ(spoken[0].text, "Volume 50, Pitch 0");
  // MESSAGE is the priority Orca uses: neither cuts the other off.
  EXPECT_EQ(spoken[0].priority, "MESSAGE");
  EXPECT_TRUE(Only(server_, "CANCEL").empty()) << "the oldest text did not interrupt";
}

TEST_F(SpeechTest, AnInterruptingTextCancelsOurOwnSpeechFirst) {
  ASSERT_TRUE(server_.Start());
  Speak("Paused");  // interrupting, as every caller in the program
  EXPECT_EQ(FlushSpeechQueue(), "Paused");

  std::vector<FakeSpeechd::Event> events = server_.Events();
  int first_cancel = -1, speak = -1;
  for (int i = 0; i < static_cast<int>(events.size()); ++i) {
    if (events[i].kind == "CANCEL" && first_cancel < 0) first_cancel = i;
    if (events[i].kind == "SPEAK") speak = i;
    if (events[i].kind == "CANCEL") {
      EXPECT_EQ(events[i].text, "SELF") << "never other clients";
    }
  }
  ASSERT_GE(first_cancel, 0);
  ASSERT_GE(speak, 0);
  EXPECT_LT(first_cancel, speak);
  EXPECT_EQ(events[speak].text, "Paused");
}

TEST_F(SpeechTest, Utf16TextsArriveAsUtf8) {
  ASSERT_TRUE(server_.Start());
  Speak(u"\u00c9coute \u266b");
  Speak(std::u16string(u"\U0001F3B5 note"));
  Speak(std::u16string(u"bad \xD800 half"));  // an unpaired surrogate
  Speak(static_cast<const char*>("plain"));
  EXPECT_EQ(FlushSpeechQueue(), "\u00c9coute \u266b, \U0001F3B5 note, bad \uFFFD half, plain");
  ASSERT_EQ(Spoken().size(), 1u);
  EXPECT_EQ(Spoken()[0].text, "\u00c9coute \u266b, \U0001F3B5 note, bad \uFFFD half, plain");
}

TEST_F(SpeechTest, ALongTextWithLinesStartingWithADotArrivesWhole) {
  ASSERT_TRUE(server_.Start());
  std::string text = ".starts with a dot\n";
  for (int i = 0; text.size() < 5000; ++i) {
    switch (i % 4) {
      case 0: text += "Track " + std::to_string(i) + " of the long list\n"; break;
      case 1: text += ".hidden line " + std::to_string(i) + "\n"; break;
      case 2: text += ".\n"; break;  // a line that is only a dot: SSIP's end marker
      case 3: text += "..two dots " + std::to_string(i) + "\r\n"; break;
    }
  }
  text += ".";
  ASSERT_GE(text.size(), 5000u);
  Speak(text);
  FlushSpeechQueue();
  ASSERT_EQ(Spoken().size(), 1u);
  std::string expected = text;  // Speech Dispatcher gets CR LF line ends; the stand-in gives "\n"
  for (size_t at; (at = expected.find("\r\n")) != std::string::npos;) expected.erase(at, 1);
  EXPECT_EQ(Spoken()[0].text, expected);
}

TEST_F(SpeechTest, WithNoSpeechServiceNothingFailsOrBlocks) {
  // No server on the socket, no session bus.
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    EXPECT_FALSE(ScreenReaderSay("nobody listens", true));
    EXPECT_LT(MillisecondsSince(start), 100);
  }
  EXPECT_EQ(DetectScreenReader(), -1);
  EXPECT_EQ(CurrentScreenReader(), -1);

  Speak("lost quietly");
  auto start = Clock::now();
  EXPECT_EQ(FlushSpeechQueue(), "lost quietly");  // handed over; the announcement is lost
  EXPECT_LT(MillisecondsSince(start), 100);
}

TEST_F(SpeechTest, AnnouncementsOutsideTheActiveSpanAreDropped) {
  ASSERT_TRUE(server_.Start());
  Speak("queued at shutdown");
  ShutdownSpeech();  // silences the screen reader and drops the queue unspoken
  int posts = window_.posts;
  Speak("too late");
  Speak(u"too late");
  EXPECT_EQ(window_.posts, posts);
  EXPECT_EQ(FlushSpeechQueue(), "");
  EXPECT_TRUE(Spoken().empty());
  EXPECT_EQ(Only(server_, "CANCEL").size(), 1u);

  // Active again, but no main window: dropped as well.
  shell::SetMainWindow(nullptr);
  InitSpeech();
  Speak("no window");
  EXPECT_EQ(window_.posts, posts);
  EXPECT_EQ(FlushSpeechQueue(), "");
}

TEST_F(SpeechTest, AServerThatDiesIsNoticedAndOneThatReturnsIsUsedAgain) {
  ASSERT_TRUE(server_.Start());
  EXPECT_TRUE(ScreenReaderSay("before", false));
  server_.Stop();

  auto start = Clock::now();
  EXPECT_FALSE(ScreenReaderSay("while it is down", false));
  EXPECT_LT(MillisecondsSince(start), 100);
  EXPECT_EQ(CurrentScreenReader(), -1);

  FakeSpeechd again(server_.socket_path());
  ASSERT_TRUE(again.Start());
  EXPECT_TRUE(ScreenReaderSay("after the restart", false));
  ASSERT_EQ(Only(again, "SPEAK").size(), 1u);
  EXPECT_EQ(Only(again, "SPEAK")[0].text, "after the restart");
}

TEST_F(SpeechTest, AServerThatHangsUpMidMessageCannotEndTheProgram) {
  // The server hangs up after the priority, so libspeechd writes its SPEAK into a closed socket
  // (a SIGPIPE when not blocked).
  server_.HangUpAfter("SET SELF PRIORITY");
  ASSERT_TRUE(server_.Start());
  for (int i = 0; i < 3; ++i) ScreenReaderSay("cut off", false);
  EXPECT_TRUE(Spoken().empty());

  server_.HangUpAfter("");
  EXPECT_TRUE(ScreenReaderSay("whole again", false));
  ASSERT_EQ(Spoken().size(), 1u);
  EXPECT_EQ(Spoken()[0].text, "whole again");
}

TEST_F(SpeechTest, AServerThatNeverAnswersCostsOneShortWait) {
  server_.SetAnswering(false);
  ASSERT_TRUE(server_.Start());
  auto start = Clock::now();
  EXPECT_FALSE(ScreenReaderSay("first", false));
  EXPECT_LT(MillisecondsSince(start), 400);
  start = Clock::now();
  EXPECT_FALSE(ScreenReaderSay("second", false));
  EXPECT_LT(MillisecondsSince(start), 50) << "the pending connection is not waited for again";
}

TEST_F(SpeechTest, RedetectionAfterTenSecondsFindsAnOrcaStartedMeanwhile) {
  if (FindProcess("orca", nullptr, 0)) GTEST_SKIP() << "an Orca process runs on this machine";
  ASSERT_TRUE(server_.Start());
  int64_t now = 1000;
  screen_reader_testing::SetClock([&] { return now; });

  EXPECT_TRUE(ScreenReaderSay("one", false));
  EXPECT_EQ(CurrentScreenReader(), 2);  // Speech Dispatcher alone

  // "Orca" starts: a process of that name (sleep under another name).
  std::filesystem::create_symlink("/bin/sleep", dir_.file("orca"));
  ChildProcess orca({dir_.file("orca"), "30"});
  ASSERT_GT(orca.pid(), 0);

  now = 9999;
  EXPECT_TRUE(ScreenReaderSay("two", false));
  EXPECT_EQ(CurrentScreenReader(), 2) << "no re-detection before 10 s";
  now = 10000;
  EXPECT_TRUE(ScreenReaderSay("three", false));
  EXPECT_EQ(CurrentScreenReader(), -1) << "the next call detects afresh";
  now = 10001;
  EXPECT_TRUE(ScreenReaderSay("four", false));
  EXPECT_EQ(CurrentScreenReader(), 1);

  std::vector<FakeSpeechd::Event> spoken = Spoken();
  ASSERT_EQ(spoken.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_NE(spoken[i].client.find(":sonderlane:main"), std::string::npos);
  EXPECT_EQ(spoken[3].text, "four");
  EXPECT_NE(spoken[3].client.find(":sonderlane:orca"), std::string::npos) << spoken[3].client;
}

TEST_F(SpeechTest, TheStandaloneServerWritesOneLogLinePerEvent) {
  const std::string program = std::string(SONDERLANE_BINARY_DIR) + "/fake_speechd";
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "fake_speechd is not built";
  const std::string log = dir_.file("events.log");
  ChildProcess server({program, "--socket", server_.socket_path(), "--log", log, "--seconds", "20"});
  for (int i = 0; i < 200 && !std::filesystem::exists(server_.socket_path()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Speak("Line one\nback\\slash");
  FlushSpeechQueue();
  std::vector<char> bytes = testsupport::ReadFileBytes(log);
  std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("CLIENT "), std::string::npos) << text;
  EXPECT_NE(text.find("CANCEL SELF\n"), std::string::npos) << text;
  EXPECT_NE(text.find("SPEAK MESSAGE Line one\\nback\\\\slash\n"), std::string::npos) << text;
}

}  // namespace
