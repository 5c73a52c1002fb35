// FLV to MP4 without re-encoding: a joined stand-in video (with its seams)
// read back by ffprobe and decoded by ffmpeg, a cut-short source, codecs
// MP4 cannot carry, a folder that cannot be written, a stop half-way, and
// the flv2mp4 tool's exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Remux.h"
#include "site/FlvSegments.h"
#include "support/CommandOutput.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSegments = 3;
constexpr uint32_t kSegmentMs = 2000;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// ffprobe's answer for one entry of each stream, one line per stream.
std::string Probe(const std::string& file, const std::string& entries) {
    return cltest::RunCommandLine("ffprobe -v error -count_packets -show_entries stream=" + entries + " -of csv=p=0 " +
                                  Quoted(file))
        .Text;
}

// The top-level boxes of an MP4 file, in order.
std::vector<std::string> TopBoxes(const std::string& file) {
    const std::string bytes = Slurp(file);
    std::vector<std::string> boxes;
    for (size_t at = 0; at + 8 <= bytes.size();) {
        uint64_t size = 0;
        for (int i = 0; i < 4; ++i) size = size << 8 | uint8_t(bytes[at + size_t(i)]);
        boxes.push_back(bytes.substr(at + 4, 4));
        if (size < 8) break;
        at += size;
    }
    return boxes;
}

class Remux : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("remux-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A video of the stand-in joined by the real joining tool, as the
    // program makes it: each segment continues at the last timestamp of the
    // one before.
    std::string JoinedVideo(bool oldCodecs = false) {
        const std::string cache = (fs::temp_directory_path() / "remux-test-segments").string();
        std::string line = Quoted(RUVEROV_PATH) + " " + Quoted(Path("joined.flv"));
        for (int k = 0; k < kSegments; ++k) {
            const std::string segment = vidsite::MakePlayableSegment(
                cache, {.Quality = 32, .DurationMs = kSegmentMs, .Seed = uint32_t(k), .OldCodecs = oldCodecs});
            EXPECT_FALSE(segment.empty()) << "ffmpeg made no segment";
            const std::string name = Path("s" + std::to_string(k) + ".flv");
            std::ofstream(name, std::ios::binary) << segment;
            line += " " + Quoted(name);
        }
        const cltest::TCommandOutput join = cltest::RunCommandLine(line);
        EXPECT_EQ(join.Status, 0) << join.Text;
        for (int k = 0; k < kSegments; ++k) fs::remove(Path("s" + std::to_string(k) + ".flv"));
        return Path("joined.flv");
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

}  // namespace

TEST_F(Remux, AJoinedVideoBecomesAnMp4OfTheSameStreamsAndPacketsWithTheIndexFirst) {
    const std::string flv = JoinedVideo();
    const std::string before = Slurp(flv);
    const remux::Result result = remux::ConvertFile(flv, remux::Mp4PathFor(flv));
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_FALSE(result.cutShort);
    EXPECT_GE(result.seams, kSegments - 1);  // the joining tool's seams step back
    const std::string mp4 = Path("joined.mp4");
    EXPECT_EQ(Names(), (std::vector<std::string>{"joined.flv", "joined.mp4"}));
    EXPECT_EQ(Slurp(flv), before);

    // Every packet is there, in the codecs the source had.
    EXPECT_EQ(Probe(mp4, "codec_name,nb_read_packets"), Probe(flv, "codec_name,nb_read_packets"));
    // Each stream plays as long as the segments' pictures, seams and all.
    std::istringstream durations(Probe(mp4, "duration"));
    for (double seconds; durations >> seconds;) EXPECT_NEAR(seconds, kSegments * kSegmentMs / 1000.0, 0.1);
    EXPECT_NEAR(result.mp4Seconds, result.sourceSeconds, 0.1);

    const cltest::TCommandOutput decode =
        cltest::RunCommandLine("ffmpeg -nostdin -v error -i " + Quoted(mp4) + " -f null -");
    EXPECT_EQ(decode.Status, 0);
    EXPECT_EQ(decode.Text, "");
    const std::vector<std::string> boxes = TopBoxes(mp4);
    const auto at = [&](const char* box) { return std::find(boxes.begin(), boxes.end(), box) - boxes.begin(); };
    EXPECT_LT(at("moov"), at("mdat"));
    EXPECT_LT(at("mdat"), std::ptrdiff_t(boxes.size()));

    // An MP4 of that name is kept unless replacing is asked for.
    const remux::Result again = remux::ConvertFile(flv, mp4);
    EXPECT_FALSE(again.Ok());
    EXPECT_NE(again.error.find("exists already"), std::string::npos) << again.error;
    EXPECT_TRUE(
        remux::ConvertFile(flv, mp4, remux::Options{.replace = true, .stop = nullptr, .sync = true, .progress = {}})
            .Ok());
    EXPECT_EQ(Names(), (std::vector<std::string>{"joined.flv", "joined.mp4"}));
}

TEST_F(Remux, ACutShortSourceConvertsWhatItHoldsAndSaysSo) {
    const std::string whole = Slurp(JoinedVideo());
    std::ofstream(Path("cut.flv"), std::ios::binary) << whole.substr(0, whole.size() * 2 / 3);
    const remux::Result result = remux::ConvertFile(Path("cut.flv"), Path("cut.mp4"));
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_TRUE(result.cutShort);
    EXPECT_NE(result.note.find("cut short"), std::string::npos) << result.note;
    EXPECT_GT(result.mp4Seconds, 2.5);
    EXPECT_LT(result.mp4Seconds, 5.0);
    EXPECT_EQ(cltest::RunCommandLine("ffmpeg -nostdin -v error -i " + Quoted(Path("cut.mp4")) + " -f null -").Text, "");
}

TEST_F(Remux, CodecsMp4CannotCarryAreRefusedAndNothingIsWritten) {
    const std::string flv = JoinedVideo(true);
    const std::string before = Slurp(flv);
    const remux::Result result = remux::ConvertFile(flv, Path("joined.mp4"));
    EXPECT_EQ(result.outcome, remux::Outcome::NotConvertible);
    EXPECT_NE(result.error.find("the video is Sorenson H.263"), std::string::npos) << result.error;
    EXPECT_EQ(result.error.find("MP3"), std::string::npos) << result.error;  // MP4 carries MP3
    EXPECT_EQ(Names(), std::vector<std::string>{"joined.flv"});
    EXPECT_EQ(Slurp(flv), before);

    std::ofstream(Path("text.flv")) << "not a video";
    EXPECT_EQ(remux::ConvertFile(Path("text.flv"), Path("text.mp4")).outcome, remux::Outcome::Failed);
    EXPECT_FALSE(fs::exists(Path("text.mp4")));
}

TEST_F(Remux, AStopHalfWayOrAFolderThatCannotBeWrittenLeaveTheFlvAndNoMp4) {
    const std::string flv = JoinedVideo();
    const std::string before = Slurp(flv);
    std::atomic<bool> stop{false};
    bool sawPartial = false;
    remux::Options options;
    options.stop = &stop;
    options.progress = [&](double done) {
        if (done < 0.5 || stop) return;
        for (const std::string& name : Names()) sawPartial = sawPartial || name.find(".part-") != std::string::npos;
        stop = true;
    };
    const remux::Result stopped = remux::ConvertFile(flv, Path("joined.mp4"), options);
    EXPECT_EQ(stopped.outcome, remux::Outcome::Stopped) << stopped.error;
    EXPECT_TRUE(sawPartial);
    EXPECT_EQ(Names(), std::vector<std::string>{"joined.flv"});

    // Through the tool, as another user when the tests run as root (who may
    // write anywhere).
    ::chmod(dir_.c_str(), 0555);
    const std::string asUser = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const cltest::TCommandOutput ran = cltest::RunCommandLine(asUser + Quoted(FLV2MP4_PATH) + " " + Quoted(flv));
    EXPECT_EQ(ran.Status, 1) << ran.Text;
    EXPECT_NE(ran.Text.find("cannot create"), std::string::npos) << ran.Text;
    EXPECT_EQ(Names(), std::vector<std::string>{"joined.flv"});
    EXPECT_EQ(Slurp(flv), before);
}

TEST_F(Remux, Flv2mp4ExitsZeroWhenConvertedOneWhenNotTwoOnBadUsage) {
    const std::string flv = JoinedVideo();
    cltest::TCommandOutput ran = cltest::RunCommandLine(Quoted(FLV2MP4_PATH) + " " + Quoted(flv));
    EXPECT_EQ(ran.Status, 0) << ran.Text;
    EXPECT_NE(ran.Text.find("joined.mp4: 6."), std::string::npos) << ran.Text;
    ran = cltest::RunCommandLine(Quoted(FLV2MP4_PATH) + " " + Quoted(flv) + " " + Quoted(Path("other.mp4")));
    EXPECT_EQ(ran.Status, 0) << ran.Text;
    ran = cltest::RunCommandLine(Quoted(FLV2MP4_PATH) + " " + Quoted(flv));  // joined.mp4 exists
    EXPECT_EQ(ran.Status, 1) << ran.Text;
    EXPECT_EQ(cltest::RunCommandLine(Quoted(FLV2MP4_PATH) + " -f " + Quoted(flv)).Status, 0);
    for (const std::string args : {"", "--bogus x.flv", "a.flv b.mp4 c.mp4", "a.flv a.flv"})
        EXPECT_EQ(cltest::RunCommandLine(Quoted(FLV2MP4_PATH) + " " + args).Status, 2) << args;
    EXPECT_EQ(Names(), (std::vector<std::string>{"joined.flv", "joined.mp4", "other.mp4"}));
}
