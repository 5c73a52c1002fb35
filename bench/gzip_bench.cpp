// Inflates a 256 MiB gzip body written in 8 KiB pieces through the gzip
// decoding stream into a null stream, and decompresses the same file with
// `gzip -dc` into /dev/null in the same run; prints both times and their
// ratio. Usage: gzip_bench [folder]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "http/clZLibStreams.h"
#include "rtl/clStreams.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kCompressedBytes = 256ull << 20;
constexpr int64_t kPiece = 8192;
constexpr int kRounds = 3;

// Comment-file-like XML lines with random numbers and words: about 3:1 at
// the fastest zlib level.
void WriteBody(const std::string& AName) {
    FILE* f = std::fopen(AName.c_str(), "wb");
    if (!f) {
        std::perror(AName.c_str());
        std::exit(1);
    }
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    static const char* const kWords[] = {"video",   "part", "hello", "2333", "segment", "nice",     "up",  "again",
                                         "comment", "wow",  "first", "haha", "episode", "download", "sub", "ok"};
    uint64_t x = 88172645463325252ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    std::string text;
    std::vector<uint8_t> out(1 << 20);
    uint64_t written = 0;
    while (written < kCompressedBytes) {
        text.clear();
        while (text.size() < (1u << 20)) {
            const uint64_t r = next();
            char line[160];
            std::snprintf(line, sizeof line, "<d p=\"%u.%03u,1,25,%u,%u,0,%08x,%u\">", unsigned(r % 3000),
                          unsigned((r >> 12) % 1000), unsigned((r >> 20) % 16777216),
                          unsigned(1600000000 + (r >> 40) % 99999999), unsigned(r >> 32),
                          unsigned((r >> 8) % 100000000));
            text += line;
            for (int w = 0; w < 1 + int(r % 5); ++w) text += std::string(kWords[(next() >> 30) % 16]) + ' ';
            text += "</d>\n";
        }
        z.next_in = reinterpret_cast<Bytef*>(text.data());
        z.avail_in = static_cast<uInt>(text.size());
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, Z_NO_FLUSH);
            const size_t n = out.size() - z.avail_out;
            written += std::fwrite(out.data(), 1, n, f);
        } while (z.avail_out == 0);
    }
    do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        std::fwrite(out.data(), 1, out.size() - z.avail_out, f);
    } while (z.avail_out == 0);
    deflateEnd(&z);
    std::fclose(f);
}

double Seconds(std::chrono::steady_clock::time_point AStart) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - AStart).count();
}

class CountingNullStream : public cl::TclNullStream {
public:
    int64_t Write(const void*, int64_t ACount) override {
        Bytes += ACount;
        return ACount;
    }
    int64_t Bytes = 0;
};

double RunOurs(const std::string& AName, int64_t& AOutput) {
    const auto start = std::chrono::steady_clock::now();
    cl::TFileStream file(AName, cl::fmOpenRead);
    CountingNullStream null;
    cl::TclGZipInflateStream gz(null);
    std::vector<uint8_t> buf(kPiece);
    for (;;) {
        const int64_t n = file.Read(buf.data(), kPiece);
        if (n <= 0) break;
        gz.WriteBuffer(buf.data(), n);
    }
    AOutput = null.Bytes;
    return Seconds(start);
}

double RunGzip(const std::string& AName) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string a0 = "gzip", a1 = "-dc", a2 = AName;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "gzip", &actions, nullptr, argv, environ) != 0) {
        std::perror("gzip");
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double t = Seconds(start);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "gzip -dc failed\n");
        std::exit(1);
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const std::string name = (folder / ("gzip_bench_" + std::to_string(getpid()) + ".gz")).string();
    WriteBody(name);
    const auto compressed = fs::file_size(name);
    double ours = 1e30, peer = 1e30;
    int64_t output = 0;
    try {
        for (int round = 0; round < kRounds; ++round) {
            ours = std::min(ours, RunOurs(name, output));
            peer = std::min(peer, RunGzip(name));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "decoding failed: %s\n", e.what());
        fs::remove(name);
        return 1;
    }
    fs::remove(name);
    std::printf("gzip body: %.1f MiB compressed, %.1f MiB inflated, best of %d\n", compressed / 1048576.0,
                output / 1048576.0, kRounds);
    std::printf("TclGZipInflateStream (8 KiB writes): %.3f s  (%.0f MiB/s out)\n", ours, output / 1048576.0 / ours);
    std::printf("gzip -dc > /dev/null:                %.3f s\n", peer);
    std::printf("ratio ours / gzip -dc: %.2fx\n", ours / peer);
    return 0;
}
