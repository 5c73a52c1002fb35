// The FLV library on its own: the tag decoder fed in arbitrary pieces, and
// the metadata operations of the exported interface.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <sys/uio.h>

#include "ZURAre.h"
#include "flvFileIO.h"
#include "flvMeta.h"
#include "flvTagCopier.h"
#include "flvTagDecoder.h"
#include "flvTagReader.h"
#include "flvTestFiles.h"

using namespace cl::flvtest;
namespace fs = std::filesystem;

namespace {

struct DecodedTag {
    uint8_t type;
    uint32_t dataSize, timestamp, streamId, width, height;
    uint8_t codecId, soundFormat;
    Bytes raw;
    bool operator==(const DecodedTag&) const = default;
};

struct Decoded {
    bool header = false, badHeader = false;
    FlvHeader info{};
    std::vector<DecodedTag> tags;
};

// Feeds `file` to a decoder in pieces that end at the given offsets.
Decoded DecodeInPieces(const Bytes& file, const std::vector<size_t>& cuts, bool keep) {
    cl::flv::TagDecoder decoder;
    decoder.SetKeepData(keep);
    Decoded result;
    size_t start = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(file.size());
    for (size_t end : ends) {
        while (start < end) {
            size_t used = 0;
            auto event = decoder.Feed(file.data() + start, end - start, used);
            start += used;
            if (event == cl::flv::TagDecoder::Event::Header) {
                result.header = true;
                result.info = decoder.Header();
            } else if (event == cl::flv::TagDecoder::Event::Tag) {
                cl::flv::TagPtr t = decoder.TakeTag();
                Bytes raw = t->raw ? Bytes(t->raw, t->raw + t->rawSize) : Bytes{};
                result.tags.push_back({t->type, t->dataSize, t->timestamp, t->streamId, t->width, t->height, t->codecId,
                                       t->soundFormat, raw});
            } else if (event == cl::flv::TagDecoder::Event::BadHeader) {
                result.badHeader = true;
                return result;
            }
        }
    }
    return result;
}

Bytes SampleFile() {
    std::vector<TestTag> tags = {OnMetaDataTag(0, {{"duration", 3}}),
                                 {9, 0, Vp6Data(640, 360, false, 40)},
                                 {8, 5, AudioData(10, 7)},
                                 {9, 0x01020304, ScreenVideoData(320, 200, 30), 42},
                                 {8, 9, {}},
                                 {9, 80, H263Data(200, 100, 12)}};
    Bytes file = BuildFlv(tags, 0x05, 1);
    file[8] = 12;  // three bytes of padding before PreviousTagSize0
    file.insert(file.begin() + 9, {0xAA, 0xBB, 0xCC});
    return file;
}

TEST(FlvTagDecoder, GivesTheSameTagsWhereverTheInputIsSplit) {
    const Bytes file = SampleFile();
    const Decoded whole = DecodeInPieces(file, {}, true);
    ASSERT_TRUE(whole.header);
    EXPECT_EQ(whole.info.dataOffset, 12u);
    ASSERT_EQ(whole.tags.size(), 6u);
    EXPECT_EQ(whole.tags[1].width, 640u);
    EXPECT_EQ(whole.tags[1].height, 360u);
    EXPECT_EQ(whole.tags[3].timestamp, 0x01020304u);
    EXPECT_EQ(whole.tags[3].streamId, 42u);
    EXPECT_EQ(whole.tags[3].width, 320u);
    EXPECT_EQ(whole.tags[4].dataSize, 0u);
    EXPECT_EQ(whole.tags[5].height, 100u);
    EXPECT_EQ(whole.tags[2].soundFormat, 10);

    for (size_t cut = 1; cut < file.size(); ++cut)
        ASSERT_EQ(DecodeInPieces(file, {cut}, true).tags, whole.tags) << "split at " << cut;
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < file.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(DecodeInPieces(file, everyByte, true).tags, whole.tags);

    // Without data the same fields come out, only the raw bytes are missing.
    Decoded bare = DecodeInPieces(file, everyByte, false);
    ASSERT_EQ(bare.tags.size(), whole.tags.size());
    for (size_t i = 0; i < bare.tags.size(); ++i) {
        DecodedTag expected = whole.tags[i];
        expected.raw.clear();
        EXPECT_EQ(bare.tags[i], expected) << "tag " << i;
    }
}

TEST(FlvTagDecoder, RejectsAWrongSignatureAndDropsAPartialTag) {
    Bytes file = SampleFile();
    file[0] = 'f';
    EXPECT_TRUE(DecodeInPieces(file, {1, 2}, true).badHeader);
    Bytes cut = SampleFile();
    cut.resize(cut.size() - 1);
    Decoded d = DecodeInPieces(cut, {}, true);
    EXPECT_FALSE(d.badHeader);
    EXPECT_EQ(d.tags.size(), 5u);
}

// Tags from a few bytes to several read blocks and mapped windows long, so
// that tag boundaries fall everywhere relative to them.
std::vector<TestTag> LargeTags() {
    std::vector<TestTag> tags;
    const size_t sizes[] = {3, 700000, 17, 262144, 1, 1300000, 5000, 262133, 999, 2100000, 40};
    uint32_t t = 0;
    for (size_t size : sizes) {
        tags.push_back({uint8_t(size % 2 ? 8 : 9), t, size % 2 ? AudioData(uint8_t(size % 16), size) : AvcData(size)});
        t += 33;
    }
    return tags;
}

TEST(FlvTagReader, ReadsLargeFilesTheSameWayBufferedOrMappedWithOrWithoutData) {
    TempDir dir;
    const std::string name = dir.Path("large.flv");
    const Bytes file = BuildFlv(LargeTags());
    WriteFile(name, file);
    const Decoded expected = DecodeInPieces(file, {}, true);
    ASSERT_EQ(expected.tags.size(), LargeTags().size());
    using Access = cl::flv::FileReader::Access;
    for (Access access : {Access::Buffered, Access::Mapped}) {
        for (bool keep : {true, false}) {
            cl::flv::TagReader reader;
            ASSERT_TRUE(reader.Open(name, access));
            size_t i = 0;
            int64_t end = 13;
            while (cl::flv::TagPtr t = reader.ReadTag(keep)) {
                ASSERT_LT(i, expected.tags.size());
                const DecodedTag& e = expected.tags[i++];
                end += int64_t(e.raw.size());
                EXPECT_EQ(reader.Position(), end) << "tag " << i;
                EXPECT_EQ(t->dataSize, e.dataSize);
                EXPECT_EQ(t->timestamp, e.timestamp);
                EXPECT_EQ(t->soundFormat, e.soundFormat);
                EXPECT_EQ(t->codecId, e.codecId);
                if (keep)
                    EXPECT_EQ(Bytes(t->raw, t->raw + t->rawSize), e.raw) << "tag " << i;
                else
                    EXPECT_EQ(t->raw, nullptr);
            }
            EXPECT_EQ(i, expected.tags.size());
            EXPECT_FALSE(reader.Failed());
        }
    }
}

// Tags of many sizes around the reader's window and buffer sizes, with
// script and foreign tags among them and a last tag cut short.
Bytes MixedFile() {
    std::vector<TestTag> tags = {OnMetaDataTag(0, {{"duration", 9}})};
    uint32_t t = 0;
    for (size_t i = 0; i < 3000; ++i, t += 7) {
        const size_t size = (i * 7919) % 3001;
        if (i % 97 == 5)
            tags.push_back(OnMetaDataTag(t, {{"n", double(i)}}));
        else if (i % 101 == 7)
            tags.push_back({15, t, Bytes(size, 0x5A)});  // neither audio nor video
        else
            tags.push_back(
                {uint8_t(i % 3 ? 8 : 9), t, i % 3 ? AudioData(10, size + 1) : AvcData(size + 1), uint32_t(i % 4)});
    }
    for (const TestTag& large : LargeTags()) tags.push_back({large.type, t += 40, large.data});
    tags.push_back({9, t + 40, AvcData(5000)});
    Bytes file = BuildFlv(tags, 0x05, 1);
    file.resize(file.size() - 1200);  // the last tag is cut short
    return file;
}

// What reading tag by tag, shifting and writing the audio and video tags
// gives, worked out without the library.
Bytes ShiftedMediaTags(const Bytes& file, uint32_t offset, uint32_t& lastTimestamp) {
    Bytes out;
    lastTimestamp = 0;
    for (const ParsedTag& tag : ParseFlv(file).tags) {
        lastTimestamp = tag.timestamp;
        if (tag.type != 8 && tag.type != 9) continue;
        const Bytes bytes = EncodeTestTag({tag.type, tag.timestamp + offset, tag.data, tag.streamId});
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST(FlvMediaCopy, GivesTheBytesOfTagByTagShiftingBufferedOrMappedAtAnyOffset) {
    TempDir dir;
    const Bytes file = MixedFile();
    const std::string source = dir.Path("source.flv"), dest = dir.Path("dest.flv");
    WriteFile(source, file);
    using Access = cl::flv::FileReader::Access;
    for (uint32_t offset : {0u, 1000u, 0xFFFFFF00u}) {
        uint32_t expectedLast = 0;
        const Bytes expected = ShiftedMediaTags(file, offset, expectedLast);
        for (Access access : {Access::Buffered, Access::Mapped}) {
            cl::flv::TagReader reader;
            ASSERT_TRUE(reader.Open(source, access));
            cl::flv::FileReader* in = reader.AtTagBoundary();
            ASSERT_NE(in, nullptr);
            cl::flv::FileWriter out;
            ASSERT_TRUE(out.Create(dest));
            const cl::flv::MediaCopyResult copied = cl::flv::CopyMediaTags(*in, out, offset);
            ASSERT_TRUE(out.Close());
            EXPECT_FALSE(reader.Failed());
            EXPECT_EQ(copied.lastTimestamp, expectedLast);
            EXPECT_TRUE(ReadFile(dest) == expected)
                << "offset " << offset << (access == Access::Mapped ? " mapped" : " buffered");
            EXPECT_EQ(reader.ReadTag(true), nullptr);  // only the cut tag was left, and it stays unread
        }
    }
}

TEST(FlvMediaCopy, TheExportedCallStartsAfterTheHeaderGapAndAfterTagsAlreadyRead) {
    TempDir dir;
    const Bytes file = SampleFile();  // three bytes between the header and PreviousTagSize0
    const std::string source = dir.Path("source.flv"), dest = dir.Path("dest.flv");
    WriteFile(source, file);
    uint32_t last = 0;
    const Bytes shifted = ShiftedMediaTags(file, 50, last);  // the first tag is a script tag, dropped anyway
    // Read the first (script) tag by hand, then copy the rest.
    FlvReadFile* in = CreateFileReadAble(source.c_str());
    FlvWriteFile* out = CreateFileWriteAble(dest.c_str());
    ASSERT_TRUE(in && out);
    FlvTag* first = nullptr;
    ASSERT_TRUE(Flv_ReadTag(in, &first, true));
    EXPECT_EQ(first->type, FLV_TAG_SCRIPT);
    Flv_FreeTag(first);
    uint32_t copiedLast = 7;
    EXPECT_TRUE(Flv_AppendMediaTags(in, out, 50, &copiedLast));
    EXPECT_EQ(copiedLast, last);
    EXPECT_FALSE(Flv_ReadFailed(in));
    DeleteFileReadAble(in);
    EXPECT_TRUE(DeleteFileWritable(out));
    EXPECT_TRUE(ReadFile(dest) == shifted);
}

// Space taken ahead of the writes must not outlive the writer: a file of a
// few MiB must not keep a whole reservation step on the disk.
TEST(FlvFileWriter, WritesEveryByteInOrderAndGivesBackTheSpaceReservedAhead) {
    TempDir dir;
    const std::string name = dir.Path("out.bin");
    Bytes expected;
    cl::flv::FileWriter out;
    ASSERT_TRUE(out.Create(name));
    Bytes piece(300 * 1024);
    for (int round = 0; round < 10; ++round) {
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = uint8_t(i * 7 + round);
        out.Write(piece.data(), 1000);  // through the buffer
        iovec pieces[2] = {{piece.data() + 1000, 5000}, {piece.data() + 6000, piece.size() - 6000}};
        out.WritePieces(pieces, 2);  // straight from the caller's memory
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(out.Close());
    EXPECT_TRUE(ReadFile(name) == expected);
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), expected.size());
    EXPECT_LT(uint64_t(st.st_blocks) * 512, expected.size() + 1024 * 1024);
}

class MetaFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string name = dir.Path("video.flv");
    FlvMeta* meta = FlvMetaCreateObject();
    ~MetaFileTest() override { FlvMetaDeleteObject(meta); }
};

TEST_F(MetaFileTest, OwnOnMetaDataIsReadAndWrittenBackWithValuesOfEveryType) {
    // An ECMA array with a number, a Boolean, a string, a keyframes object of
    // strict arrays, a null and a date, in this order.
    AmfWriter w;
    w.String("onMetaData").Marker(8).U32(7);
    w.Name("duration").Number(12.5).Name("stereo").Boolean(true).Name("encoder").String("test encoder");
    w.Name("keyframes").Marker(3);
    w.Name("times").Marker(10).U32(2).Number(0).Number(4.5);
    w.Name("filepositions").Marker(10).U32(2).Number(13).Number(4096);
    w.ObjectEnd();
    w.Name("nothing").Marker(5);
    w.Name("created").Marker(11).U32(0x426D1A94).U32(0xA2000000).Marker(0).Marker(0);
    w.Name("last").Number(1);
    w.ObjectEnd();
    std::vector<TestTag> tags = {
        {18, 0, w.Get()}, {9, 0, AvcData(50)}, {8, 0, AudioData(10, 20)}, {9, 2000, AvcData(60)}};
    WriteFile(name, BuildFlv(tags));

    ASSERT_TRUE(FlvMetaParseFromFile(meta, name.c_str()));
    ASSERT_TRUE(FlvMetaUpdateToFile(meta, name.c_str()));
    EXPECT_FALSE(fs::exists(name + ".$$$"));
    ParsedFlv flv = ParseFlv(ReadFile(name));
    ASSERT_EQ(flv.tags.size(), 4u);
    EXPECT_EQ(flv.tags[0].data, w.Get());  // nothing computed, nothing lost
    EXPECT_EQ(flv.tags[3].data, AvcData(60));
}

TEST_F(MetaFileTest, RewriteKeepsTheMediaTagsAsTheyAreAndDropsEveryOtherTagAndACutShortLastOne) {
    const TestTag video1{9, 0, H263Data(176, 144, 40)}, audio{8, 20, AudioData(2, 300 * 1024)},
        video2{9, 40, AvcData(70), 5};
    Bytes file = BuildFlv({OnMetaDataTag(0, {{"duration", 9}}),
                           video1,
                           {15, 10, Bytes(6, 1)},
                           audio,
                           OnMetaDataTag(30, {{"width", 1}}),
                           video2},
                          0x05, 3);
    const Bytes cut = EncodeTestTag({9, 60, AvcData(50)});
    file.insert(file.end(), cut.begin(), cut.end() - 5);
    WriteFile(name, file);

    ASSERT_TRUE(FlvMetaUpdateToFile(meta, name.c_str()));
    const Bytes rewritten = ReadFile(name);
    ParsedFlv flv = ParseFlv(rewritten);
    ASSERT_EQ(flv.tags.size(), 4u);
    EXPECT_EQ(flv.tags[0].type, 18);
    const Bytes head(rewritten.begin(), rewritten.begin() + 13);
    EXPECT_EQ(head, (Bytes{'F', 'L', 'V', 3, 0x05, 0, 0, 0, 9, 0, 0, 0, 0}));
    Bytes media;
    for (const TestTag& t : {video1, audio, video2}) {
        const Bytes raw = EncodeTestTag(t);
        media.insert(media.end(), raw.begin(), raw.end());
    }
    ASSERT_GE(rewritten.size(), media.size());
    EXPECT_TRUE(Bytes(rewritten.end() - long(media.size()), rewritten.end()) == media);
}

TEST_F(MetaFileTest, FailedRewriteLeavesTheFileAsItWasAndNoTemporaryFile) {
    Bytes noMedia = BuildFlv({OnMetaDataTag(0, {{"duration", 1}}), {15, 0, Bytes(4, 0)}});
    WriteFile(name, noMedia);
    EXPECT_FALSE(FlvMetaUpdateToFile(meta, name.c_str()));
    EXPECT_EQ(ReadFile(name), noMedia);
    EXPECT_FALSE(fs::exists(name + ".$$$"));

    std::string missing = dir.Path("missing.flv");
    EXPECT_FALSE(FlvMetaUpdateToFile(meta, missing.c_str()));
    EXPECT_FALSE(fs::exists(missing + ".$$$"));
    EXPECT_FALSE(FlvMetaParseFromFile(meta, missing.c_str()));
}

// A power loss right after the rewrite must find the old file or the whole
// new one under the name: the new file is on the disk before it takes the
// name, the folder's entry after. A sync that fails is a failed rewrite.
TEST_F(MetaFileTest, TheNewFileReachesTheDiskBeforeItTakesTheNameAndAFailedSyncFailsTheRewrite) {
    const Bytes original = BuildFlv({{9, 0, AvcData(10)}, {9, 1500, AvcData(12)}});
    const std::string folder = fs::canonical(dir.Root()).string();
    auto pathOf = [](int fd) { return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string(); };
    std::vector<std::string> calls;
    cl::flv::DiskCalls disk;
    disk.syncData = [&](int fd) {
        calls.push_back("sync " + pathOf(fd));
        return 0;
    };
    disk.syncFolder = [&](int fd) {
        calls.push_back("sync " + pathOf(fd));
        return 0;
    };
    disk.rename = [&](const char* from, const char* to) {
        calls.push_back("rename");
        return std::rename(from, to);
    };
    const cl::flv::MetaObject object;
    WriteFile(name, original);
    ASSERT_TRUE(cl::flv::UpdateMetaDataToFile(object, name, disk));
    EXPECT_EQ(calls, (std::vector<std::string>{"sync " + folder + "/video.flv.$$$", "rename", "sync " + folder}));
    EXPECT_EQ(ParseFlv(ReadFile(name)).tags.size(), 3u);

    auto fail = [](int) {
        errno = EIO;
        return -1;
    };
    WriteFile(name, original);
    cl::flv::DiskCalls failedData = disk;
    failedData.syncData = fail;
    EXPECT_FALSE(cl::flv::UpdateMetaDataToFile(object, name, failedData));
    EXPECT_EQ(ReadFile(name), original);
    EXPECT_FALSE(fs::exists(name + ".$$$"));
    cl::flv::DiskCalls failedFolder = disk;
    failedFolder.syncFolder = fail;
    EXPECT_FALSE(cl::flv::UpdateMetaDataToFile(object, name, failedFolder));
}

TEST_F(MetaFileTest, ALinkPlantedAtTheTemporaryNameIsReplacedNotWrittenThrough) {
    const std::string victim = dir.Path("victim.txt");
    WriteFile(victim, Bytes{'k', 'e', 'e', 'p'});
    WriteFile(name, BuildFlv({{9, 0, AvcData(10)}, {9, 1500, AvcData(12)}}));
    fs::create_symlink(victim, name + ".$$$");
    ASSERT_TRUE(FlvMetaParseFromFile(meta, name.c_str()));
    ASSERT_TRUE(FlvMetaUpdateToFile(meta, name.c_str()));
    EXPECT_EQ(ReadFile(victim), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(name + ".$$$")));
    EXPECT_EQ(ParseFlv(ReadFile(name)).tags.size(), 3u);
}

TEST_F(MetaFileTest, NothingIsComputedBelowOneMillisecond) {
    WriteFile(name, BuildFlv({{9, 0, AvcData(10)}, {8, 0, AudioData(10, 10)}}));
    EXPECT_FALSE(FlvMetaParseFromFile(meta, name.c_str()));
    ASSERT_TRUE(FlvMetaUpdateToFile(meta, name.c_str()));
    ParsedFlv flv = ParseFlv(ReadFile(name));
    ASSERT_EQ(flv.tags.size(), 3u);
    ParsedMeta m = ParseOnMetaData(flv.tags[0].data);
    EXPECT_EQ(m.declaredCount, 0u);
    EXPECT_TRUE(m.properties.empty());
    EXPECT_TRUE(m.endMarker);
}

}  // namespace
