// The screen-reader bridge: the choice of adapter and its replacement (on a table of scripted
// adapters), the process search, and the Orca D-Bus adapter against a stand-in of Orca's remote
// controller on a private session bus, with the Speech Dispatcher stand-in behind it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "child_process.h"
#include "fake_speechd.h"
#include "media.h"
#include "screen_reader.h"

namespace {

using testsupport::ChildProcess;
using testsupport::FakeSpeechd;
using testsupport::TempDir;

// ---- The choice of adapter, on scripted adapters ----

struct ScriptedReader {
  bool running = true;    // what detect answers
  bool accepts = true;    // what say and stop answer
  int detects = 0, unloads = 0;
  std::vector<std::string> said;  // "text" or "!text" when interrupting
  int stops = 0;
};

ScreenReaderEngine Scripted(const std::string& name, std::shared_ptr<ScriptedReader> r) {
  ScreenReaderEngine e;
  e.name = name;
  e.detect = [r] { ++r->detects; return r->running; };
  e.say = [r](const std::string& text, bool interrupt) {
    if (r->accepts) r->said.push_back((interrupt ? "!" : "") + text);
    return r->accepts;
  };
  e.stop = [r] { ++r->stops; return r->accepts; };
  e.unload = [r] { ++r->unloads; };
  return e;
}

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& r : readers_) r = std::make_shared<ScriptedReader>();
    screen_reader_testing::SetEngines({Scripted("A", readers_[0]), Scripted("B", readers_[1]),
                                       Scripted("C", readers_[2])});
    screen_reader_testing::SetClock([this] { return now_; });
    screen_reader_testing::Reset();
    for (auto& r : readers_) r->unloads = 0;
  }
  void TearDown() override {
    screen_reader_testing::SetClock(nullptr);
    screen_reader_testing::SetEngines({});
  }
  ScriptedReader& A() { return *readers_[0]; }
  ScriptedReader& B() { return *readers_[1]; }
  ScriptedReader& C() { return *readers_[2]; }

  std::shared_ptr<ScriptedReader> readers_[3];
  int64_t now_ = 1000;
};

TEST_F(BridgeTest, TheFirstRunningRowIsChosenAndNoLaterRowIsAsked) {
  A().running = false;
  EXPECT_EQ(DetectScreenReader(), 1);
  EXPECT_EQ(C().detects, 0);
  EXPECT_TRUE(ScreenReaderSay("hello", true));
  EXPECT_EQ(CurrentScreenReader(), 1);
  EXPECT_EQ(B().said, std::vector<std::string>{"!hello"});
  EXPECT_EQ(ScreenReaderName(1), "B");
  EXPECT_EQ(ScreenReaderName(3), "");
}

TEST_F(BridgeTest, ARunningReaderThatRefusesATextKeepsItsPlace) {
  A().accepts = false;
  EXPECT_TRUE(ScreenReaderSay("refused", false)) << "the call counts as done; the text is lost";
  EXPECT_EQ(CurrentScreenReader(), 0);
  EXPECT_EQ(A().unloads, 0);
  EXPECT_TRUE(B().said.empty());
}

TEST_F(BridgeTest, AReaderThatStopsRunningIsReplacedWithinTheSameCall) {
  EXPECT_TRUE(ScreenReaderSay("one", false));
  A().running = false;
  A().accepts = false;
  EXPECT_TRUE(ScreenReaderSay("two", false));
  EXPECT_EQ(A().unloads, 1);
  EXPECT_EQ(CurrentScreenReader(), 1);
  EXPECT_EQ(B().said, std::vector<std::string>{"two"});

  // Stop goes through the same loop.
  B().running = false;
  B().accepts = false;
  EXPECT_TRUE(ScreenReaderStop());
  EXPECT_EQ(CurrentScreenReader(), 2);
  EXPECT_EQ(C().stops, 1);
}

TEST_F(BridgeTest, WithNoReaderRunningTheCallFailsQuietly) {
  for (auto& r : readers_) r->running = false;
  EXPECT_FALSE(ScreenReaderSay("nobody", true));
  EXPECT_FALSE(ScreenReaderStop());
  EXPECT_EQ(CurrentScreenReader(), -1);
  for (auto& r : readers_) EXPECT_TRUE(r->said.empty());
}

TEST_F(BridgeTest, AReaderThatKeepsFailingCannotLoopForever) {
  // Detect answers yes to the detection and no to the check after the failed say, every time.
  auto flapping = std::make_shared<int>(0);
  ScreenReaderEngine e;
  e.name = "flapping";
  e.detect = [flapping] { return (*flapping)++ % 2 == 0; };
  e.say = [](const std::string&, bool) { return false; };
  screen_reader_testing::SetEngines({e});
  EXPECT_FALSE(ScreenReaderSay("never", false));
  EXPECT_LE(*flapping, 4);
}

TEST_F(BridgeTest, RedetectionStartsTenSecondsAfterTheLastOne) {
  // The re-detection time starts at 0; each row is (clock, detections expected so far).
  struct Step {
    int64_t now;
    int detects;
  } steps[] = {{1000, 1}, {9999, 1}, {10000, 1}, {10001, 2}, {19999, 2}, {20000, 2}, {20001, 3}};
  for (const Step& s : steps) {
    now_ = s.now;
    EXPECT_TRUE(ScreenReaderSay("tick", false));
    EXPECT_EQ(A().detects, s.detects) << "at " << s.now << " ms";
  }
}

// ---- Process search ----

TEST(ProcessSearch, FindsAProcessByExecutablePathFirstArgumentOrName) {
  TempDir dir;
  // Under another name, sleep's executable path stays /usr/bin/sleep: found by its argv[0].
  std::filesystem::create_symlink("/bin/sleep", dir.file("SlFakeReader"));
  ChildProcess reader({dir.file("SlFakeReader"), "30"});
  // A script is run by its interpreter: only its process name carries the script's name.
  testsupport::WriteFileBytes(dir.file("slscriptreader"), "#!/bin/sh\nsleep 30\n");
  chmod(dir.file("slscriptreader").c_str(), 0755);
  ChildProcess script({dir.file("slscriptreader")});
  ASSERT_GT(reader.pid(), 0);
  ASSERT_GT(script.pid(), 0);

  char path[PATH_MAX];
  EXPECT_EQ(getProcessHandle("slfakereader", path, sizeof path), reader.pid());
  char real[PATH_MAX];
  ASSERT_NE(realpath("/bin/sleep", real), nullptr);
  EXPECT_STREQ(path, real) << "the executable's path is written";
  EXPECT_TRUE(FindProcess("SLFAKEREADER", nullptr, 0)) << "compared without regard to case";

  // A buffer too small gets a cut-off path with its terminating zero.
  char small[5];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(getProcessHandle("slfakereader", small, sizeof small), reader.pid());
  EXPECT_EQ(std::string(small), std::string(real).substr(0, 4));

  EXPECT_EQ(getProcessHandle("SLSCRIPTREADER", nullptr, 0), script.pid());
  // Our own executable, by a part of its path.
  EXPECT_TRUE(FindProcess("screen_reader_test", nullptr, 0));

  reader.Kill();
  script.Kill();
  EXPECT_FALSE(FindProcess("slfakereader", nullptr, 0));
  EXPECT_FALSE(FindProcess("slscriptreader", nullptr, 0));
  EXPECT_EQ(getProcessHandle("", nullptr, 0), 0);
  EXPECT_EQ(getProcessHandle(nullptr, nullptr, 0), 0);
}

// ---- Orca's remote controller on a private session bus ----

// A dbus-daemon of our own; the process's session bus points at it while the object lives.
class PrivateBus {
 public:
  explicit PrivateBus(const TempDir& dir) : socket_(dir.file("bus")) {
    daemon_ = ChildProcess({"/usr/bin/dbus-daemon", "--session", "--nofork",
                            "--address=unix:path=" + socket_});
    for (int i = 0; i < 250 && !std::filesystem::exists(socket_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket_).c_str(), 1);
  }
  bool ready() const { return daemon_.pid() > 0 && std::filesystem::exists(socket_); }

 private:
  std::string socket_;
  ChildProcess daemon_;
};

// Orca's service as far as the adapter uses it: PresentMessage and the speech module's
// ExecuteCommand. Calls are recorded as "present <text>" and "command <name>".
class FakeOrcaService {
 public:
  FakeOrcaService() {
    bus_ = sdbus::createSessionBusConnection("org.gnome.Orca.Service");
    service_ = sdbus::createObject(*bus_, "/org/gnome/Orca/Service");
    service_->registerMethod("PresentMessage")
        .onInterface("org.gnome.Orca.Service")
        .implementedAs([this](const std::string& text) { return Record("present " + text); });
    service_->finishRegistration();
    speech_ = sdbus::createObject(*bus_, "/org/gnome/Orca/Service/SpeechManager");
    speech_->registerMethod("ExecuteCommand")
        .onInterface("org.gnome.Orca.Module")
        .implementedAs([this](const std::string& command, bool) {
          return Record("command " + command);
        });
    speech_->finishRegistration();
    bus_->enterEventLoopAsync();
  }
  ~FakeOrcaService() { Quit(); }
  // Orca quits: its name leaves the bus.
  void Quit() {
    if (!bus_) return;
    bus_->leaveEventLoop();
    speech_.reset();
    service_.reset();
    bus_.reset();
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  bool Record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    return true;
  }
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IObject> service_, speech_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class OrcaServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FindProcess("orca", nullptr, 0)) GTEST_SKIP() << "an Orca process runs on this machine";
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(bus_.ready());
    setenv("SPEECHD_ADDRESS", speechd_.Address().c_str(), 1);
    screen_reader_testing::SetSpeechdAutospawn(false);
    screen_reader_testing::SetEngines({});
    screen_reader_testing::Reset();
  }
  void TearDown() override { screen_reader_testing::Reset(); }

  TempDir dir_;
  PrivateBus bus_{dir_};
  FakeSpeechd speechd_{dir_.file("speechd.sock")};
};

TEST_F(OrcaServiceTest, OrcaSpeaksThroughItsServiceAndSpeechDispatcherTakesOverWhenItQuits) {
  EXPECT_EQ(DetectScreenReader(), -1) << "a bus without Orca's service";

  FakeOrcaService orca;
  ASSERT_TRUE(speechd_.Start());
  EXPECT_EQ(DetectScreenReader(), 0);
  EXPECT_TRUE(ScreenReaderSay("Playing", true));
  EXPECT_TRUE(ScreenReaderStop());
  EXPECT_EQ(orca.Calls(),
            (std::vector<std::string>{"command InterruptSpeech", "present Playing",
                                      "command InterruptSpeech"}));
  EXPECT_TRUE(speechd_.Events().empty());

  // Orca quits: the next call finds its service gone and Speech Dispatcher speaks instead.
  orca.Quit();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ScreenReaderSay("Stopped", false));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  // Row 2, Speech Dispatcher (or row 1 should a process named orca have started meanwhile:
  // it speaks through Speech Dispatcher as well).
  EXPECT_GE(CurrentScreenReader(), 1);
  std::vector<FakeSpeechd::Event> events = speechd_.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, "SPEAK");
  EXPECT_EQ(events.back().text, "Stopped");
}

}  // namespace
