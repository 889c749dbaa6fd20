// Folder scanning and playlist reading at scale: ScanFolder over a generated tree of 100 000
// files against `find DIR -type f` over the same tree in the same run (warm cache, best of 3),
// and reading an M3U of 100 000 lines.
//   bench_scan [FOLDER]   (default: a new folder under $TMPDIR or /tmp, removed afterwards)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "playlist_files.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kFiles = 100000;
constexpr int kFilesPerFolder = 50;

// Milliseconds of `op`, best of three runs.
double BestMs(const std::function<void()>& op) {
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    op();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return best;
}

// 100 000 empty files in 2 000 folders nested three levels deep (artist/album/disc), with a mix
// of supported and unsupported extensions.
bool MakeTree(const std::string& root) {
  static const char* const kExt[] = {".mp3", ".flac", ".ogg", ".jpg", ".txt",
                                     ".m4a", ".OPUS", ".nfo", ".wav", ".cue"};
  std::error_code ec;
  for (int i = 0; i < kFiles; ++i) {
    int folder = i / kFilesPerFolder;
    std::string dir = root + "/artist" + std::to_string(folder / 100) + "/album" +
                      std::to_string(folder / 10 % 10) + "/disc" + std::to_string(folder % 10);
    if (i % kFilesPerFolder == 0) fs::create_directories(dir, ec);
    std::ofstream(dir + "/track " + std::to_string(i) + kExt[i % 10]);
    if (!fs::exists(dir)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool remove = argc < 2;
  if (argc >= 2) {
    root = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_scan_XXXXXX";
    if (!mkdtemp(pattern.data())) return 1;
    root = pattern;
  }
  std::string tree = root + "/tree";
  std::printf("making %d files under %s ...\n", kFiles, tree.c_str());
  if (!MakeTree(tree)) {
    std::fprintf(stderr, "could not make the tree\n");
    return 1;
  }

  std::vector<std::string> list;
  auto scan = [&] {
    list.clear();
    ScanFolder(tree, list, 0);
  };
  scan();  // warm the cache
  double scan_ms = BestMs(scan);
  std::string find_cmd = "find '" + tree + "' -type f > /dev/null";
  if (std::system(find_cmd.c_str()) != 0) return 1;  // warm
  double find_ms = BestMs([&] { (void)std::system(find_cmd.c_str()); });
  std::printf("ScanFolder: %zu supported files in %.1f ms\n", list.size(), scan_ms);
  std::printf("find -type f: %.1f ms (includes starting the process)\n", find_ms);
  std::printf("ratio ScanFolder / find: %.2f\n", scan_ms / find_ms);

  // An M3U of 100 000 relative lines (with #EXTINF lines between), each resolved and checked
  // for being a folder.
  std::string m3u = root + "/big.m3u";
  {
    std::ofstream out(m3u, std::ios::binary);
    out << "\xEF\xBB\xBF#EXTM3U\n";
    for (int i = 0; i < kFiles; ++i) {
      if (i % 2 == 0) out << "#EXTINF:200,Artist - Track " << i << "\n";
      out << "tree/artist" << i / 5000 << "/album" << i / 500 % 10 << "/track " << i << ".mp3\n";
    }
  }
  std::vector<std::string> entries;
  double read_ms = BestMs([&] { entries = ReadPlaylistFile(m3u); });
  std::printf("ReadPlaylistFile: %zu entries from %d lines in %.1f ms\n", entries.size(), kFiles,
              read_ms);

  if (remove) fs::remove_all(root);
  return 0;
}
