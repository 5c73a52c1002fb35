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

#include "ProcessTiming.h"
#include "site/CommentService.h"

namespace fs = std::filesystem;

namespace {

constexpr int kComments = 20000;
constexpr int kRounds = 15;

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) / "subtitles-bench";
    fs::create_directories(dir);
    const std::string xml = (dir / "comments.xml").string(), ass = (dir / "comments.ass").string();
    std::ofstream(xml, std::ios::binary) << vidsite::CommentDocument(20240601, kComments);

    const std::vector<std::string> lint = {"xmllint", "--noout", xml};
    const std::vector<std::string> convert = {CMT2ASS_PATH, "-o", ass, xml};
    clbench::TPairedRounds rounds;
    if (!clbench::RunPairedRounds(lint, convert, kRounds, rounds)) return 1;
    const long lintRss = clbench::MaxRssKiB(lint, "/dev/null", dir);
    const long convertRss = clbench::MaxRssKiB(convert, "/dev/null", dir);
    std::printf("subtitles_bench: %d comments, %.1f MiB of XML, %.1f MiB of ASS, median of %d rounds\n", kComments,
                fs::file_size(xml) / 1048576.0, fs::file_size(ass) / 1048576.0, kRounds);
    rounds.PrintRows("xmllint --noout", lintRss, "cmt2ass", convertRss, 4);
    rounds.PrintRatio("cmt2ass", "xmllint", 3.0);
    fs::remove_all(dir);
    return 0;
}
