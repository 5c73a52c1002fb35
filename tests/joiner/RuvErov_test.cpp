// The joining tool as a program: FLV files built in memory are joined by the
// real executable and its output is parsed back independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "flvTestFiles.h"

using namespace cl::flvtest;
namespace fs = std::filesystem;

namespace {

const char kCreateMessage[] = "Can't create output file for writing, make sure the output path is writable\n";

// The expected tags of a join: the media tags of each source shifted by the
// sum of the previous sources' last timestamps.
struct Expected {
    std::vector<TestTag> tags;
    uint32_t offset = 0;
    void Add(const std::vector<TestTag>& source) {
        for (const TestTag& t : source)
            if (t.type == 8 || t.type == 9) tags.push_back({t.type, t.timestamp + offset, t.data, t.streamId});
        if (!source.empty()) offset += source.back().timestamp;
    }
};

// Checks the fixed header, a leading onMetaData tag when `withMeta`, then
// every media tag byte for byte. Returns the parsed metadata.
ParsedMeta ExpectJoined(const Bytes& file, const std::vector<TestTag>& media, uint8_t version, bool withMeta = true) {
    ParsedFlv flv = ParseFlv(file);
    EXPECT_EQ(flv.header, (Bytes{'F', 'L', 'V', version, 0x05, 0, 0, 0, 9}));
    EXPECT_EQ(flv.prevTagSize0, 0u);
    EXPECT_EQ(flv.trailingBytes, 0u);
    size_t first = withMeta ? 1 : 0;
    EXPECT_EQ(flv.tags.size(), media.size() + first);
    for (const ParsedTag& t : flv.tags) EXPECT_EQ(t.prevTagSize, t.dataSize + 11) << "at timestamp " << t.timestamp;
    for (size_t i = 0; i < media.size() && i + first < flv.tags.size(); ++i) {
        const ParsedTag& got = flv.tags[i + first];
        EXPECT_EQ(got.type, media[i].type) << "tag " << i;
        EXPECT_EQ(got.timestamp, media[i].timestamp) << "tag " << i;
        EXPECT_EQ(got.streamId, media[i].streamId) << "tag " << i;
        EXPECT_EQ(got.data, media[i].data) << "tag " << i;
    }
    if (!withMeta || flv.tags.empty()) return {};
    EXPECT_EQ(flv.tags[0].type, 18);
    EXPECT_EQ(flv.tags[0].timestamp, 0u);
    for (size_t i = 1; i < flv.tags.size(); ++i) EXPECT_NE(flv.tags[i].type, 18) << "a second script tag at " << i;
    return ParseOnMetaData(flv.tags[0].data);
}

double Number(const ParsedMeta& meta, const std::string& name) {
    const AmfProperty* p = meta.Find(name);
    EXPECT_NE(p, nullptr) << name;
    if (!p) return -1;
    EXPECT_EQ(p->marker, 0) << name;
    return p->number;
}

class JoinerTest : public ::testing::Test {
protected:
    std::string Source(const std::string& name, const Bytes& bytes) {
        std::string path = dir.Path(name);
        WriteFile(path, bytes);
        return path;
    }
    TempDir dir;
    std::string dest = dir.Path("joined.flv");
};

TEST_F(JoinerTest, TwoSourcesPlayBackToBackWithFreshMetadataInFixedOrder) {
    std::vector<TestTag> one = MediaTags(9960), two = MediaTags(9960);
    Bytes first = BuildFlv(one, 0xFD, 3);  // stray flag bits, version 3
    std::string a = Source("a.flv", first), b = Source("b.flv", BuildFlv(two, 0x05, 1));

    RunResult r = RunJoiner({dest, a, b});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(dest + ".$$$"));

    Expected expected;
    expected.Add(one);
    expected.Add(two);
    ASSERT_EQ(expected.tags[500].timestamp, 9960u);  // the second source's first tag
    ParsedMeta meta = ExpectJoined(ReadFile(dest), expected.tags, 3);

    const std::vector<std::string> order = {"duration",     "width",        "height",        "videodatarate",
                                            "framerate",    "videocodecid", "audiodatarate", "audiodelay",
                                            "audiocodecid", "canSeekToEnd", "lasttimestamp", "metadatacreator"};
    EXPECT_EQ(meta.name, "onMetaData");
    ASSERT_EQ(meta.properties.size(), order.size());
    EXPECT_EQ(meta.declaredCount, order.size());
    EXPECT_TRUE(meta.endMarker);
    EXPECT_EQ(meta.trailingBytes, 0u);
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(meta.properties[i].name, order[i]);

    EXPECT_DOUBLE_EQ(Number(meta, "duration"), 19.92);
    EXPECT_DOUBLE_EQ(Number(meta, "lasttimestamp"), 19.92);
    EXPECT_EQ(Number(meta, "width"), 320);
    EXPECT_EQ(Number(meta, "height"), 240);
    EXPECT_EQ(Number(meta, "videodatarate"), 181);  // 500 * 900 * 8 / 1000 / 19.92 = 180.7
    EXPECT_EQ(Number(meta, "framerate"), 25);       // 500 / 19.92 = 25.1
    EXPECT_EQ(Number(meta, "videocodecid"), 2);
    EXPECT_EQ(Number(meta, "audiodatarate"), 36);  // 500 * 180 * 8 / 1000 / 19.92 = 36.1
    EXPECT_EQ(Number(meta, "audiodelay"), 0);
    EXPECT_EQ(Number(meta, "audiocodecid"), 10);
    ASSERT_EQ(meta.properties[9].marker, 1);
    EXPECT_TRUE(meta.properties[9].boolean);
    ASSERT_EQ(meta.properties[11].marker, 2);
    EXPECT_FALSE(meta.properties[11].text.empty());
}

TEST_F(JoinerTest, LargeTagsAreCopiedWhole) {
    std::vector<TestTag> one, two;
    for (uint32_t i = 0; i < 12; ++i) {
        one.push_back({9, i * 40, H263Data(320, 240, 1000 + i * 190001)});
        one.push_back({8, i * 40 + 3, AudioData(10, 7 + i * 3)});
        two.push_back({9, i * 40, AvcData(333 + i * 170003)});
    }
    RunResult r = RunJoiner({dest, Source("a.flv", BuildFlv(one)), Source("b.flv", BuildFlv(two))});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    expected.Add(two);
    ExpectJoined(ReadFile(dest), expected.tags, 1);
}

TEST_F(JoinerTest, BannerComesFirstAndUsageNeedsADestinationAndASource) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{dest}}) {
        RunResult r = RunJoiner(args);
        EXPECT_EQ(r.status, 255);  // -1
        EXPECT_EQ(r.err, "Usage: ruverov dest_file src_file1 src_file2 ...");
        ASSERT_GE(r.out.size(), 2u);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);
        EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n");
        EXPECT_NE(r.out.substr(0, r.out.find('\n')).find("v1.1"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(JoinerTest, ScriptAndForeignTagsAreDroppedButTheirTimestampsCount) {
    // The first source ends with a tag of an unknown type at 5000 ms, after
    // its last media tag at 4000 ms: the next source continues at 5000 ms.
    std::vector<TestTag> one = {OnMetaDataTag(0, {{"duration", 999}, {"width", 7}})};
    for (const TestTag& t : MediaTags(4000)) one.push_back(t);
    one.push_back(OnMetaDataTag(4500, {{"cue", 1}}));
    one.push_back({15, 5000, Bytes(30, 0xEE)});
    std::vector<TestTag> two = {OnMetaDataTag(0, {{"duration", 1}})};
    for (const TestTag& t : MediaTags(1000)) two.push_back(t);
    std::string a = Source("a.flv", BuildFlv(one)), b = Source("b.flv", BuildFlv(two));

    RunResult r = RunJoiner({dest, a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    expected.Add(two);
    ParsedMeta meta = ExpectJoined(ReadFile(dest), expected.tags, 1);
    EXPECT_DOUBLE_EQ(Number(meta, "duration"), 6.0);
    EXPECT_EQ(Number(meta, "width"), 320);
}

TEST_F(JoinerTest, ASingleSourceIsCopiedWithoutItsScriptTags) {
    std::vector<TestTag> one = {OnMetaDataTag(0, {{"duration", 999}})};
    for (TestTag t : MediaTags(2000)) {
        t.streamId = 0x010203;  // carried over untouched
        one.push_back(t);
    }
    RunResult r = RunJoiner({dest, Source("a.flv", BuildFlv(one))});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    ParsedMeta meta = ExpectJoined(ReadFile(dest), expected.tags, 1);
    EXPECT_DOUBLE_EQ(Number(meta, "duration"), 2.0);
    EXPECT_EQ(Number(meta, "framerate"), 26);  // 51 frames in 2 s, 25.5 rounds up
}

TEST_F(JoinerTest, TimestampsUseTheExtendedByteAndWrapAt32Bits) {
    std::vector<TestTag> one = {{9, 0x00FFFFF0, H263Data(320, 240, 50)}, {9, 0x01000010, H263Data(320, 240, 50)}};
    std::vector<TestTag> two = {{9, 0, H263Data(320, 240, 50)}, {8, 0x00FFFF00, AudioData(2, 20)}};
    std::vector<TestTag> three = {{9, 0, H263Data(320, 240, 50)}, {9, 0x200, H263Data(320, 240, 60)}};
    std::string a = Source("a.flv", BuildFlv(one)), b = Source("b.flv", BuildFlv(two)),
                c = Source("c.flv", BuildFlv(three));

    RunResult r = RunJoiner({dest, a, b, c});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    expected.Add(two);
    expected.Add(three);
    // 0x01000010 + 0x00FFFF00 = 0x01FFFF10; the last tag lands at
    // 0x01FFFF10 + 0x200 = 0x02000110.
    ASSERT_EQ(expected.tags.back().timestamp, 0x02000110u);
    Bytes file = ReadFile(dest);
    ParsedMeta meta = ExpectJoined(file, expected.tags, 1);
    EXPECT_DOUBLE_EQ(Number(meta, "duration"), 0x02000110 * 0.001);

    // Wrapping: a source ending just below 2^32 ms.
    std::vector<TestTag> late = {{9, 0xFFFFFF00, H263Data(320, 240, 50)}};
    std::vector<TestTag> next = {{9, 0, H263Data(320, 240, 50)}, {9, 0x300, H263Data(320, 240, 50)}};
    r = RunJoiner({dest, Source("late.flv", BuildFlv(late)), Source("next.flv", BuildFlv(next))});
    ASSERT_EQ(r.status, 0) << r.err;
    ParsedFlv flv = ParseFlv(ReadFile(dest));
    ASSERT_EQ(flv.tags.size(), 4u);
    EXPECT_EQ(flv.tags[2].timestamp, 0xFFFFFF00u);
    EXPECT_EQ(flv.tags[3].timestamp, 0x200u);
}

struct CodecCase {
    const char* name;
    Bytes data;
    double width, height, codec;
};

class JoinerCodecTest : public JoinerTest, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(JoinerCodecTest, PictureSizeAndCodecComeFromTheFirstVideoTag) {
    const CodecCase& c = GetParam();
    // The header declares video only, yet the audio codec is still found.
    std::vector<TestTag> tags = {{9, 0, c.data},
                                 {8, 0, AudioData(2, 100)},
                                 {9, 40, H263Data(100, 50, 40)},
                                 {8, 40, AudioData(10, 100)},
                                 {9, 1000, c.data}};
    RunResult r = RunJoiner({dest, Source("a.flv", BuildFlv(tags, 0x01))});
    ASSERT_EQ(r.status, 0) << r.err;
    ParsedFlv flv = ParseFlv(ReadFile(dest));
    ASSERT_EQ(flv.tags.size(), 6u);
    ParsedMeta meta = ParseOnMetaData(flv.tags[0].data);
    EXPECT_EQ(Number(meta, "width"), c.width);
    EXPECT_EQ(Number(meta, "height"), c.height);
    EXPECT_EQ(Number(meta, "videocodecid"), c.codec);
    EXPECT_EQ(Number(meta, "audiocodecid"), 2);
    EXPECT_EQ(Number(meta, "framerate"), 3);
}

INSTANTIATE_TEST_SUITE_P(Codecs, JoinerCodecTest,
                         ::testing::Values(CodecCase{"H263Cif", H263Data(352, 288, 200), 352, 288, 2},
                                           CodecCase{"H263Qvga", H263Data(320, 240, 200), 320, 240, 2},
                                           CodecCase{"H263Custom8", H263Data(200, 100, 200), 200, 100, 2},
                                           CodecCase{"H263Custom16", H263Data(1000, 700, 200), 1000, 700, 2},
                                           CodecCase{"ScreenVideo", ScreenVideoData(1280, 720, 200), 1280, 720, 3},
                                           CodecCase{"Vp6", Vp6Data(640, 360, false, 200), 640, 360, 4},
                                           CodecCase{"Vp6Alpha", Vp6Data(854, 480, true, 200), 854, 480, 5},
                                           CodecCase{"Avc", AvcData(200), 0, 0, 7},
                                           CodecCase{"H263Truncated", Bytes{0x12, 0x00, 0x00}, 0, 0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(JoinerTest, DestinationThatCannotBeCreatedOrWrittenEndsWithStatus1) {
    std::string a = Source("a.flv", BuildFlv(MediaTags(400)));
    RunResult r = RunJoiner({dir.Path("missing/joined.flv"), a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kCreateMessage);
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to make every write fail";
    r = RunJoiner({"/dev/full", a});  // opens fine, every write fails
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kCreateMessage);
}

TEST_F(JoinerTest, DestinationThatIsOneOfTheSourcesIsRefusedAndTheSourceKept) {
    Bytes original = BuildFlv(MediaTags(400));
    std::string a = Source("a.flv", original), b = Source("b.flv", BuildFlv(MediaTags(400)));
    fs::create_hard_link(b, dir.Path("b-link.flv"));
    for (const std::string& target : {a, dir.Path("b-link.flv")}) {
        RunResult r = RunJoiner({target, a, b});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kCreateMessage);
    }
    // The metadata step's temporary file may not be a source either.
    RunResult r = RunJoiner({dir.Path("a"), Source("a.$$$", original)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(a), original);
    EXPECT_EQ(ReadFile(dir.Path("a.$$$")), original);
    EXPECT_EQ(ReadFile(b), BuildFlv(MediaTags(400)));
}

TEST_F(JoinerTest, MissingSourceEndsWithStatus2AfterTheEarlierSourcesWereWritten) {
    std::vector<TestTag> one = MediaTags(400);
    std::string a = Source("a.flv", BuildFlv(one)), missing = dir.Path("nope.flv");
    RunResult r = RunJoiner({dest, a, missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Can't open source flv " + missing);
    Expected expected;
    expected.Add(one);
    ExpectJoined(ReadFile(dest), expected.tags, 1, false);
    EXPECT_FALSE(fs::exists(dest + ".$$$"));

    fs::create_directory(dir.Path("folder.flv"));
    r = RunJoiner({dest, dir.Path("folder.flv")});
    EXPECT_EQ(r.status, 2);
}

TEST_F(JoinerTest, SourceWithoutAnFlvHeaderEndsWithStatus3) {
    std::string a = Source("a.flv", BuildFlv(MediaTags(400)));
    Bytes wrong = BuildFlv(MediaTags(400));
    wrong[2] = 'X';
    for (const Bytes& bad : {wrong, Bytes{}, Bytes{'F', 'L', 'V', 1, 5}}) {
        std::string b = Source("b.flv", bad);
        RunResult r = RunJoiner({dest, a, b});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "Can't read from source flv " + b + ", bad flv ?");
        r = RunJoiner({dest, b});
        EXPECT_EQ(r.status, 3);
    }
}

TEST_F(JoinerTest, TruncatedLastTagEndsItsSourceAndTheJoinGoesOn) {
    std::vector<TestTag> one = MediaTags(1000), two = MediaTags(400);
    Bytes cut = BuildFlv(one);
    Bytes partial = EncodeTestTag({9, 1040, H263Data(320, 240, 5000)});
    cut.insert(cut.end(), partial.begin(), partial.begin() + 100);  // claims 5000 bytes, has 89
    std::string a = Source("a.flv", cut), b = Source("b.flv", BuildFlv(two));
    // The same tag cut inside its PreviousTagSize.
    Bytes cutTrailer = BuildFlv(one);
    cutTrailer.insert(cutTrailer.end(), partial.begin(), partial.end() - 2);
    std::string c = Source("c.flv", cutTrailer);

    RunResult r = RunJoiner({dest, a, c, b});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    expected.Add(one);
    expected.Add(two);
    ParsedMeta meta = ExpectJoined(ReadFile(dest), expected.tags, 1);
    EXPECT_DOUBLE_EQ(Number(meta, "duration"), 2.4);
}

TEST_F(JoinerTest, DataOffsetIsHonouredAndOneOutsideTheFileYieldsNoTags) {
    std::vector<TestTag> one = MediaTags(400), two = MediaTags(200);
    Bytes gap = BuildFlv(one);
    gap[8] = 20;  // 11 extra header bytes before PreviousTagSize0
    gap.insert(gap.begin() + 9, 11, 0xAB);
    Bytes inside = BuildFlv(two);
    inside[8] = 0;  // an offset inside the header itself: tags follow the header
    Bytes past = BuildFlv(MediaTags(400));
    past[5] = 0x7F;  // far beyond the end
    std::string a = Source("a.flv", gap), b = Source("b.flv", past), c = Source("c.flv", inside);

    RunResult r = RunJoiner({dest, a, b, c});
    ASSERT_EQ(r.status, 0) << r.err;
    Expected expected;
    expected.Add(one);
    expected.Add(two);
    ExpectJoined(ReadFile(dest), expected.tags, 1);
}

TEST_F(JoinerTest, WithoutMediaTagsTheDestinationKeepsNoMetadataAndNoTemporaryFile) {
    std::vector<TestTag> scripts = {OnMetaDataTag(0, {{"duration", 5}}), {15, 10, Bytes(5, 1)}};
    RunResult r = RunJoiner({dest, Source("a.flv", BuildFlv(scripts)), Source("b.flv", BuildFlv({}))});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dest), (Bytes{'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0}));
    EXPECT_FALSE(fs::exists(dest + ".$$$"));
}

TEST_F(JoinerTest, CopiesOfBothFilesRunFromAnotherFolder) {
    const fs::path bin = fs::path(RUVEROV_PATH).parent_path();
    fs::create_directory(dir.Path("elsewhere"));
    for (const char* name : {"RuvErov.exe", "ZURAre.dll"}) fs::copy_file(bin / name, dir.Root() / "elsewhere" / name);
    RunResult r =
        cl::flvtest::Run(dir.Path("elsewhere/RuvErov.exe"), {dest, Source("a.flv", BuildFlv(MediaTags(400)))});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dest));
}

}  // namespace
