// The log file: line format, the span between LogStart and LogStop, rotation at 1048575 bytes,
// and silence when the folder cannot be written.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "log.h"
#include "media.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::string Read(const std::string& path) {
  std::vector<char> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));  // a line without its CR LF: fails the format checks
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

const std::regex kLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[[A-Z]+\] .*)");

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_STATE_HOME", dir_.path().c_str(), 1); }
  void TearDown() override { LogStop(); }
  std::string Folder() const { return dir_.file("Sonderlane"); }
  std::string LogFile() const { return dir_.file("Sonderlane/sonderlane.log"); }
  TempDir dir_;
};

TEST_F(LogTest, StartAndStopWriteTimeStampedLinesEndingInCrLf) {
  std::time_t before = std::time(nullptr);
  LogStart();
  LogWrite("PLAY", "caf\u00e9 \u266b");
  LogStop();
  std::time_t after = std::time(nullptr);
  EXPECT_EQ(LogFilePath(), LogFile());

  std::string text = Read(LogFile());
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0].substr(21), " [INIT] Sonderlane logger started");
  EXPECT_EQ(lines[1].substr(21), " [PLAY] caf\u00e9 \u266b");
  EXPECT_EQ(lines[2].substr(21), " [EXIT] Sonderlane logger stopped");
  // The stamp is the local time of writing.
  std::vector<std::string> stamps;
  for (std::time_t t = before; t <= after; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "[%Y-%m-%d %H:%M:%S]", &local);
    stamps.push_back(buf);
  }
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    EXPECT_NE(std::find(stamps.begin(), stamps.end(), line.substr(0, 21)), stamps.end()) << line;
  }
}

TEST_F(LogTest, NothingIsWrittenOutsideStartAndStop) {
  LogWrite("EARLY", "before the start");
  EXPECT_FALSE(fs::exists(LogFile()));
  LogStop();  // not started: nothing
  EXPECT_FALSE(fs::exists(LogFile()));
  LogStart();
  LogStop();
  LogWrite("LATE", "after the stop");
  EXPECT_EQ(Lines(Read(LogFile())).size(), 2u);
}

TEST_F(LogTest, TwoStartsAppendToTheSameFile) {
  LogStart();
  LogStop();
  LogStart();
  LogStop();
  std::vector<std::string> lines = Lines(Read(LogFile()));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("[INIT]"), std::string::npos);
  EXPECT_NE(lines[1].find("[EXIT]"), std::string::npos);
  EXPECT_NE(lines[2].find("[INIT]"), std::string::npos);
  EXPECT_NE(lines[3].find("[EXIT]"), std::string::npos);
}

TEST_F(LogTest, ALogAbove1048575BytesMovesToTheBackupFirst) {
  struct Case {
    size_t size;
    bool rotates;
  } cases[] = {{1048575, false}, {1048576, true}};
  const std::string older = "an older backup\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string filler(c.size, 'x');
    fs::create_directories(Folder());
    WriteFileBytes(LogFile(), filler);
    WriteFileBytes(LogFile() + ".old", older);
    LogStart();  // its INIT line is the next line
    std::string log = Read(LogFile());
    std::string backup = Read(LogFile() + ".old");
    LogStop();
    if (c.rotates) {
      EXPECT_TRUE(backup == filler) << "the backup is replaced by the log";
      EXPECT_EQ(Lines(log).size(), 1u) << "the line starts a new file";
      EXPECT_NE(log.find("[INIT]"), std::string::npos);
    } else {
      EXPECT_EQ(backup, older);
      ASSERT_EQ(log.size() > c.size, true);
      EXPECT_TRUE(log.compare(0, c.size, filler) == 0) << "the line is appended";
      EXPECT_NE(log.find("[INIT]", c.size), std::string::npos);
    }
  }
}

TEST_F(LogTest, AFolderThatCannotBeWrittenLosesTheLinesQuietly) {
  struct Case {
    const char* what;
    std::function<void(const std::string& folder)> prepare;
  } cases[] = {
      {"the folder is a file", [](const std::string& folder) { WriteFileBytes(folder, "x"); }},
      {"the log is a folder",
       [](const std::string& folder) { fs::create_directories(folder + "/sonderlane.log"); }},
      {"the folder is write-protected",
       [](const std::string& folder) {
         fs::create_directories(folder);
         chmod(folder.c_str(), 0555);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "the folder is write-protected" && geteuid() == 0) {
      std::cout << "skipped: " << c.what << " (root writes everywhere)\n";
      continue;
    }
    TempDir state;
    setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    std::string folder = state.file("Sonderlane");
    c.prepare(folder);
    LogStart();
    LogWrite("PLAY", "lost");
    LogStop();
    if (fs::is_directory(folder)) {
      EXPECT_FALSE(fs::is_regular_file(folder + "/sonderlane.log"));
      EXPECT_FALSE(fs::exists(folder + "/sonderlane.log.old"));
      chmod(folder.c_str(), 0755);
    } else {
      EXPECT_EQ(Read(folder), "x");
    }
  }
}

TEST_F(LogTest, TheFolderFollowsXdgStateHome) {
  TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  struct Case {
    const char* state;  // nullptr: unset
    std::string folder;
  } cases[] = {
      {nullptr, home.file(".local/state/Sonderlane")},
      {"relative/state", home.file(".local/state/Sonderlane")},  // relative values are ignored
      {dir_.path().c_str(), Folder()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state ? c.state : "(unset)");
    if (c.state) {
      setenv("XDG_STATE_HOME", c.state, 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    LogStart();
    LogStop();
    EXPECT_EQ(LogFilePath(), c.folder + "/sonderlane.log");
    EXPECT_TRUE(fs::is_regular_file(c.folder + "/sonderlane.log"));
  }
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  LogStart();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LogWrite("T" + std::to_string(t), std::string(100, 'a' + t));
    });
  }
  for (auto& w : writers) w.join();
  LogStop();
  std::vector<std::string> lines = Lines(Read(LogFile()));
  ASSERT_EQ(lines.size(), 802u);
  const std::regex thread_line(R"(\[[-0-9: ]+\] \[T([0-3])\] ([a-d]{100}))");
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, thread_line)) << lines[i];
    EXPECT_EQ(m[2].str(), std::string(100, 'a' + std::stoi(m[1].str())));
  }
}

}  // namespace
