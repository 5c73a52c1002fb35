// Converts a comment document of 20 000 entries (made as the site stand-in
// makes them) with cmt2ass, and parses the same file with `xmllint --noout`,
// in the same run, taking turns round by round. Prints the median wall and
// CPU times, their ratio and the peak memory of both.
// Usage: subtitles_bench [folder]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "site/CommentService.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr int kComments = 20000;
constexpr int kRounds = 15;

struct Timing {
  double seconds = 0;
  double cpuSeconds = 0; // user + system
  int status = -1;
};

Timing RunTimed(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(rc));
    std::exit(1);
  }
  int wstatus = 0;
  struct rusage usage {};
  while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  Timing t;
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval& v) { return double(v.tv_sec) + double(v.tv_usec) / 1e6; };
  t.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  t.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return t;
}

// Peak resident memory of one run in KiB as /usr/bin/time reports it; -1
// without it.
long MaxRssKiB(const std::vector<std::string>& args, const fs::path& dir) {
  if (!fs::exists("/usr/bin/time"))
    return -1;
  const std::string report = (dir / "rss.txt").string();
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", report};
  timed.insert(timed.end(), args.begin(), args.end());
  if (RunTimed(timed).status != 0)
    return -1;
  long kib = -1;
  if (FILE* f = std::fopen(report.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &kib) != 1)
      kib = -1;
    std::fclose(f);
  }
  fs::remove(report);
  return kib;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
  const fs::path dir = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) / "subtitles-bench";
  fs::create_directories(dir);
  const std::string xml = (dir / "comments.xml").string(), ass = (dir / "comments.ass").string();
  std::ofstream(xml, std::ios::binary) << vidsite::CommentDocument(20240601, kComments);

  const std::vector<std::string> lint = {"xmllint", "--noout", xml};
  const std::vector<std::string> convert = {CMT2ASS_PATH, "-o", ass, xml};
  RunTimed(lint); // warms the page cache for both
  RunTimed(convert);
  std::vector<double> lintTimes, convertTimes, lintCpu, convertCpu, ratios;
  for (int round = 0; round < kRounds; ++round) {
    const Timing l = RunTimed(lint);
    const Timing c = RunTimed(convert);
    if (l.status != 0 || c.status != 0) {
      std::fprintf(stderr, "xmllint exited %d, cmt2ass exited %d\n", l.status, c.status);
      return 1;
    }
    lintTimes.push_back(l.seconds);
    convertTimes.push_back(c.seconds);
    lintCpu.push_back(l.cpuSeconds);
    convertCpu.push_back(c.cpuSeconds);
    ratios.push_back(c.seconds / l.seconds);
  }
  const long lintRss = MaxRssKiB(lint, dir), convertRss = MaxRssKiB(convert, dir);
  std::printf("subtitles_bench: %d comments, %.1f MiB of XML, %.1f MiB of ASS, median of %d rounds\n", kComments,
              fs::file_size(xml) / 1048576.0, fs::file_size(ass) / 1048576.0, kRounds);
  std::printf("  xmllint --noout  %.4f s  CPU %.4f s  max RSS %ld KiB\n", Median(lintTimes), Median(lintCpu), lintRss);
  std::printf("  cmt2ass          %.4f s  CPU %.4f s  max RSS %ld KiB\n", Median(convertTimes), Median(convertCpu),
              convertRss);
  std::printf("  ratio cmt2ass / xmllint: %.2fx, CPU time %.2fx, per round from %.2fx to %.2fx (goal: at most 3.0x)\n",
              Median(ratios), Median(convertCpu) / std::max(1e-6, Median(lintCpu)),
              *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
  fs::remove_all(dir);
  return 0;
}
