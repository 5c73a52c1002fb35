// Lane placement, the written ASS text, converting files, the cmt2ass tool
// and the stage size of a joined stand-in video.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "AssCheck.h"
#include "Convert.h"
#include "LaneLayout.h"
#include "StageSize.h"
#include "site/FlvSegments.h"
#include "support/CommandOutput.h"

using namespace subtitles;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir()
        : FPath(fs::temp_directory_path() /
                ("subtitles-test-" + std::to_string(::getpid()) + "-" + std::to_string(Next()))) {
        fs::create_directories(FPath);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(FPath)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static int Next() {
        static int n = 0;
        return n++;
    }
    fs::path FPath;
};

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Entry(const std::string& fields, const std::string& text) {
    return "<d p=\"" + fields + ",1600000000,0,ab12cd34,1\">" + text + "</d>";
}

std::string Document(const std::string& entries) {
    return "<?xml version=\"1.0\"?><i><chatid>1</chatid>" + entries + "</i>";
}

std::vector<std::string> DialogueLines(const std::string& ass) {
    std::vector<std::string> lines;
    std::istringstream in(ass);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("Dialogue: ")) lines.push_back(line);
    return lines;
}

std::string Convert(const std::string& entries, const Options& options = {}) {
    std::string ass;
    const Result r = ConvertText(Document(entries), ass, options);
    EXPECT_TRUE(r.ok) << r.error;
    return ass;
}

struct ToolRun {
    int status = -1;
    std::string output;  // stdout and stderr
};

ToolRun RunTool(const std::string& path, const std::vector<std::string>& args) {
    std::string command = "'" + path + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    const cltest::TCommandOutput ran = cltest::RunCommandLine(command);
    return {ran.Status, ran.Text};
}

// A comment as placed: where its lanes are and when it is on the stage.
struct Placed {
    double start, width, speed;
    int lane, span;
};

}  // namespace

TEST(LaneLayout, CommentsSharingALaneNeverTouchWhileBothAreOnTheStage) {
    const LayoutParams params;  // 1920x1080, lanes of 50, 8 s across
    LaneLayout layout(params);
    std::mt19937 random(7);
    std::vector<Placed> placed;
    double t = 0;
    for (int i = 0; i < 400; ++i) {
        t += (random() % 3 == 0) ? 0 : (random() % 1500) / 1000.0;  // bursts at the same instant
        const double width = random() % 4 == 0 ? 600 + random() % 900 : 40 + random() % 200;
        const TextBox box{width, random() % 5 == 0 ? 72.0 : 50.0};
        const int lane = layout.Place(Mode::ScrollLeft, t, box);
        placed.push_back({t, width, layout.Speed(width), lane, box.height > 50 ? 2 : 1});
    }
    for (size_t b = 0; b < placed.size(); ++b)
        for (size_t a = 0; a < b; ++a) {
            const Placed &p = placed[a], &q = placed[b];
            if (p.lane + p.span <= q.lane || q.lane + q.span <= p.lane) continue;
            // Left edges move from the stage width leftwards; p is ahead.
            for (double when = q.start; when < p.start + params.scrollSeconds; when += 0.02) {
                const double pRight = params.stageWidth - p.speed * (when - p.start) + p.width;
                const double qLeft = params.stageWidth - q.speed * (when - q.start);
                ASSERT_GE(qLeft, pRight - 1e-6) << "comments " << a << " and " << b << " meet at " << when;
            }
        }
}

TEST(LaneLayout, ALongCommentDoesNotCatchAShortOneAndFullLanesGiveTheOneFreeingFirst) {
    LaneLayout layout({});
    EXPECT_EQ(layout.Place(Mode::ScrollLeft, 0, {100, 50}), 0);
    // The short one's tail is on the stage after 0.5 s, but a 1500-pixel
    // comment started at 1 s would reach it before it leaves.
    EXPECT_EQ(layout.Place(Mode::ScrollLeft, 1, {1500, 50}), 1);
    EXPECT_EQ(layout.Place(Mode::ScrollLeft, 1.2, {100, 50}), 0);

    LaneLayout twoLanes({.stageWidth = 1920, .stageHeight = 100, .laneHeight = 50});
    EXPECT_EQ(twoLanes.Place(Mode::ScrollLeft, 0, {1000, 50}), 0);
    EXPECT_EQ(twoLanes.Place(Mode::ScrollLeft, 0, {100, 50}), 1);
    EXPECT_EQ(twoLanes.Place(Mode::ScrollLeft, 0.1, {100, 50}), 1);   // no lane free: lane 1 frees first
    EXPECT_EQ(twoLanes.Place(Mode::ScrollRight, 0.1, {100, 50}), 0);  // the other direction has its own lanes
}

TEST(LaneLayout, FixedCommentsStackAndReuseALaneOnceItsCommentIsGone) {
    LaneLayout layout({.fixedSeconds = 4});
    EXPECT_EQ(layout.Place(Mode::Top, 0, {100, 50}), 0);
    EXPECT_EQ(layout.Place(Mode::Top, 0, {100, 72}), 1);  // two lanes tall
    EXPECT_EQ(layout.Place(Mode::Top, 1, {100, 50}), 3);
    EXPECT_EQ(layout.Place(Mode::Bottom, 1, {100, 50}), 0);
    EXPECT_EQ(layout.Place(Mode::Top, 4, {100, 50}), 0);
    EXPECT_EQ(layout.Place(Mode::Top, 4.5, {100, 50}), 1);
}

TEST(AssWriter, EachModeMovesOrStaysAsItSaysOnAStageOfTheGivenSize) {
    const std::string ass = Convert(Entry("1,1,25,16777215", "abc") + Entry("1,6,25,16777215", "abc") +
                                    Entry("2,5,25,16777215", "top") + Entry("2.004,4,25,16777215", "bot"));
    EXPECT_NE(ass.find("PlayResX: 1920\nPlayResY: 1080\n"), std::string::npos);
    EXPECT_NE(
        ass.find(
            "\nStyle: "
            "Scroll,sans-serif,50,&H33FFFFFF,&H33FFFFFF,&H33000000,&H33000000,0,0,0,0,100,100,0,0,1,2,0,7,0,0,0,1\n"),
        std::string::npos);
    const std::vector<std::string> expected = {
        "Dialogue: 0,0:00:01.00,0:00:09.00,Scroll,,0,0,0,,{\\move(1920,0,-90,0)}abc",
        "Dialogue: 0,0:00:01.00,0:00:09.00,ScrollBack,,0,0,0,,{\\move(-90,0,1920,0)}abc",
        "Dialogue: 0,0:00:02.00,0:00:06.00,Top,,0,0,0,,{\\pos(960,0)}top",
        "Dialogue: 0,0:00:02.00,0:00:06.00,Bottom,,0,0,0,,{\\pos(960,1080)}bot",
    };
    EXPECT_EQ(DialogueLines(ass), expected);

    const std::string small =
        Convert(Entry("1,1,25,16777215", "abc"),
                {.stage = {640, 360}, .font = "WenQuanYi Micro Hei", .alpha = 1, .scrollSeconds = 5});
    EXPECT_NE(small.find("PlayResX: 640\nPlayResY: 360\n"), std::string::npos);
    EXPECT_NE(small.find("\nStyle: Top,WenQuanYi Micro Hei,17,&H00FFFFFF,"), std::string::npos);
    EXPECT_NE(small.find(",0:00:06.00,Scroll,"), std::string::npos);
}

TEST(AssWriter, ColoursAndSizesAreOverriddenOnlyWhereTheyDifferFromTheStyle) {
    const std::vector<std::string> lines = DialogueLines(
        Convert(Entry("1,5,25,16744448", "orange") + Entry("6,5,25,16777215", "white") + Entry("11,5,25,0", "black") +
                Entry("16,5,36,16777215", "large") + Entry("21,5,18,16777215", "small")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[0].ends_with("{\\pos(960,0)\\c&H0080FF&}orange")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with("{\\pos(960,0)}white")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with("{\\pos(960,0)\\c&H000000&\\3c&HFFFFFF&}black")) << lines[2];
    EXPECT_TRUE(lines[3].ends_with("{\\pos(960,0)\\fs72}large")) << lines[3];
    EXPECT_TRUE(lines[4].ends_with("{\\pos(960,0)\\fs36}small")) << lines[4];
}

TEST(AssWriter, CommentTextCannotInjectTagsOrLinesAndKeepsAnyUnicode) {
    const std::vector<std::string> lines = DialogueLines(
        Convert(Entry("1,5,25,16777215", "{\\pos(0,0)\\fs200}x\\Ny/nz") +
                Entry("6,5,25,16777215", "a&#10;Dialogue: 0,0:00:00.00,9:00:00.00,Top,,0,0,0,,{\\b1}boom&#13;") +
                Entry("11,5,25,16777215", "\\\\{{}}\\") + Entry("16,5,25,16777215", "中文 😀 &amp;&lt;&gt;/")));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(test::DialogueText(lines[0]), "{\\pos(960,0)}\\{\\\u2060pos(0,0)\\\u2060fs200\\}x\\\u2060Ny\\Nz");
    EXPECT_EQ(test::DialogueText(lines[1]).substr(0, 28), "{\\pos(960,0)}a\\NDialogue: 0,");
    EXPECT_EQ(test::DialogueText(lines[3]), "{\\pos(960,0)}中文 😀 &<>/");
    for (const std::string& line : lines) EXPECT_FALSE(test::CommentTextCanFormTag(test::DialogueText(line))) << line;
}

TEST(ConvertFile, WritesBesideAndOnAFaultLeavesNothingBehindNorTouchesTheOldFile) {
    TempDir dir;
    WriteFile(dir / "good.xml", Document(Entry("1,1,25,16777215", "a") + Entry("2,7,25,0", "[]") +
                                         Entry("2,8,25,0", "x") + Entry("oops", "b")));
    const Result good = ConvertFile(dir / "good.xml", AssPathFor(dir / "good.xml"));
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.written, 1u);
    EXPECT_EQ(good.skipped.positioned, 1u);
    EXPECT_EQ(good.skipped.code, 1u);
    EXPECT_EQ(good.skipped.unreadable, 1u);
    EXPECT_EQ(DialogueLines(ReadFile(dir / "good.ass")).size(), 1u);

    const std::string whole = Document(Entry("1,1,25,16777215", std::string(100000, 'x')));
    WriteFile(dir / "cut.xml", whole.substr(0, whole.size() - 10));
    WriteFile(dir / "cut.ass", "old");
    const Result cut = ConvertFile(dir / "cut.xml", dir / "cut.ass");
    EXPECT_FALSE(cut.ok);
    EXPECT_NE(cut.error.find("cut short"), std::string::npos) << cut.error;
    EXPECT_EQ(ReadFile(dir / "cut.ass"), "old");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"cut.ass", "cut.xml", "good.ass", "good.xml"}));

    EXPECT_FALSE(ConvertFile(dir / "missing.xml", dir / "missing.ass").ok);
    EXPECT_EQ(AssPathFor("/a.b/c.xml"), "/a.b/c.ass");
    EXPECT_EQ(AssPathFor("/a.b/c"), "/a.b/c.ass");
}

TEST(Cmt2ass, ConvertsBesideReportsSkipsAndExitsOneOnABadFileTwoOnBadUsage) {
    TempDir dir;
    const std::string doc = Document(Entry("1,1,25,16777215", "a") + Entry("2,7,25,0", "[]") + Entry("x", "b"));
    WriteFile(dir / "a.xml", doc);
    WriteFile(dir / "b.xml", doc);
    WriteFile(dir / "cut.xml", doc.substr(0, doc.size() - 3));

    ToolRun run = RunTool(CMT2ASS_PATH, {dir / "a.xml", dir / "b.xml"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(dir / "a.ass" +
                              ": wrote 1 comment, skipped 2 (1 positioned by script, 1 with unreadable fields)"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(fs::exists(dir / "b.ass"));

    run = RunTool(CMT2ASS_PATH,
                  {"-o", dir / "out.ass", "-s", "640x360", "--alpha=1", "--font", "Noto Sans", dir / "a.xml"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(ReadFile(dir / "out.ass").find("PlayResX: 640\n"), std::string::npos);

    run = RunTool(CMT2ASS_PATH, {dir / "cut.xml", dir / "a.xml"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cut.xml: the document is cut short"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(dir / "cut.ass"));

    const std::vector<std::vector<std::string>> badUsage = {{},
                                                            {"--alpha", "2", dir / "a.xml"},
                                                            {"-s", "10", dir / "a.xml"},
                                                            {"-o", dir / "x.ass", dir / "a.xml", dir / "b.xml"},
                                                            {"--bogus", dir / "a.xml"},
                                                            {dir / "a.xml", "--font-size"},
                                                            {"--scroll-seconds", "0", dir / "a.xml"}};
    for (const auto& args : badUsage) EXPECT_EQ(RunTool(CMT2ASS_PATH, args).status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(fs::exists(dir / "x.ass"));
}

TEST(StageSize, IsThePictureSizeOfAJoinedStandInVideoElseFullHd) {
    TempDir dir;
    for (int i = 0; i < 2; ++i)
        WriteFile(dir / ("s" + std::to_string(i) + ".flv"),
                  vidsite::MakeSyntheticSegment({.Quality = 64, .DurationMs = 1000, .Seed = uint32_t(i)}));
    const ToolRun join = RunTool(RUVEROV_PATH, {dir / "joined.flv", dir / "s0.flv", dir / "s1.flv"});
    ASSERT_EQ(join.status, 0) << join.output;
    const Stage stage = StageOfVideo(dir / "joined.flv");
    EXPECT_EQ(stage.width, 640);
    EXPECT_EQ(stage.height, 360);

    WriteFile(dir / "text.flv", "not a video");
    EXPECT_EQ(StageOfVideo(dir / "text.flv").width, 1920);
    EXPECT_EQ(StageOfVideo(dir / "missing.flv").height, 1080);
}
