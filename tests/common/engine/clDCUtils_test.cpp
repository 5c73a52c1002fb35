// Local files of download items: the pre-sized positioned file, local file
// names from folder, address and content disposition, gzip files, file times.
#include "engine/clDCUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "http/clZLibBase.h"
#include "rtl/clDateTime.h"
#include "support/GzipTestData.h"

namespace {

namespace fs = std::filesystem;

class TTempFolder {
public:
    TTempFolder() {
        char tmpl[] = "/tmp/cldcutils-XXXXXX";
        FPath = ::mkdtemp(tmpl);
    }
    ~TTempFolder() { fs::remove_all(FPath); }
    std::string File(const std::string& AName) const { return FPath + "/" + AName; }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

std::string ReadFile(const std::string& AName) {
    std::ifstream in(AName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& AName, const std::string& AData) { std::ofstream(AName, std::ios::binary) << AData; }

TEST(TclFileMappingStream, RangesWrittenFromSeveralThreadsLandAtTheirPositions) {
    TTempFolder dir;
    const std::string file = dir.File("ranges.bin");
    // More ranges than gathered runs, at offsets off the block size.
    constexpr int kRanges = cl::TclFileMappingStream::kMaxRuns + 2;
    constexpr int64_t kPart = 100000;
    {
        cl::TclFileMappingStream stream(file, kRanges * kPart, true);
        EXPECT_EQ(fs::file_size(file), static_cast<uintmax_t>(kRanges * kPart));
        std::mutex accessor;
        std::vector<std::thread> writers;
        for (int r = 0; r < kRanges; ++r) {
            writers.emplace_back([&, r] {
                const std::string chunk(1000, static_cast<char>('a' + r));
                for (int64_t pos = r * kPart; pos < (r + 1) * kPart; pos += 1000) {
                    std::lock_guard<std::mutex> guard(accessor);
                    stream.SetPosition(pos);
                    stream.WriteBuffer(chunk.data(), 1000);
                }
            });
        }
        for (auto& t : writers) t.join();
        // A read sees what is still gathered.
        char probe[3] = {};
        stream.SetPosition(kPart - 1);
        ASSERT_EQ(stream.Read(probe, 3), 3);
        EXPECT_EQ(std::string(probe, 3), "abb");
    }
    const std::string data = ReadFile(file);
    ASSERT_EQ(data.size(), static_cast<size_t>(kRanges * kPart));
    for (int r = 0; r < kRanges; ++r) {
        EXPECT_EQ(data.substr(r * kPart, kPart), std::string(kPart, static_cast<char>('a' + r))) << "range " << r;
    }
}

TEST(TclFileMappingStream, ReopeningKeepsTheBytesAndCreatingTruncates) {
    TTempFolder dir;
    const std::string file = dir.File("resume.bin");
    WriteFile(file, "0123456789");
    {
        cl::TclFileMappingStream stream(file, 10, false);
        char buf[4] = {};
        stream.SetPosition(3);
        EXPECT_EQ(stream.Read(buf, 4), 4);
        EXPECT_EQ(std::string(buf, 4), "3456");
    }
    EXPECT_EQ(ReadFile(file), "0123456789");
    { cl::TclFileMappingStream stream(file, 4, true); }
    EXPECT_EQ(ReadFile(file), std::string(4, '\0'));
    EXPECT_THROW(cl::TclFileMappingStream(dir.File("missing.bin"), 4, false), cl::EFOpenError);
}

TEST(TclFileMappingStream, AFileSystemWithoutRoomFailsAtOnceWithTheSystemsReason) {
    const std::string mountPoint = "/tmp/cldcutils-full";
    fs::create_directories(mountPoint);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs " + mountPoint + " 2>/dev/null").c_str()) != 0) {
        fs::remove(mountPoint);
        GTEST_SKIP() << "no tmpfs mount here";
    }
    try {
        cl::TclFileMappingStream stream(mountPoint + "/big.bin", 1 << 20, true);
        ADD_FAILURE() << "a file larger than the file system was allocated";
    } catch (const cl::EWriteError& e) {
        EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
    }
    std::system(("umount " + mountPoint).c_str());
    fs::remove(mountPoint);
}

TEST(LocalFileNames, TheFolderGetsOneTrailingSlashAndTheFileOnlyItsName) {
    EXPECT_EQ(cl::GetLocalFileByFolder("/d", "/old/place/a.flv"), "/d/a.flv");
    EXPECT_EQ(cl::GetLocalFileByFolder("/d/", ""), "/d/");
    EXPECT_EQ(cl::GetLocalFileByFolder("", "x/a.flv"), "a.flv");
}

TEST(LocalFileNames, AnAddressGivesItsLastSegmentUnlessItHasAQueryOrFragment) {
    EXPECT_EQ(cl::GetLocalFileByUrl("http://h.example/v/seg-1.flv", "/d"), "/d/seg-1.flv");
    EXPECT_EQ(cl::GetLocalFileByUrl("http://h.example/v/seg-1.flv?key=1", "/d"), "");
    EXPECT_EQ(cl::GetLocalFileByUrl("http://h.example/v/seg-1.flv#top", "/d"), "");
    EXPECT_EQ(cl::GetLocalFileByUrl("http://h.example/", "/d"), "");
}

TEST(LocalFileNames, AContentDispositionNameCannotLeaveTheFolder) {
    EXPECT_EQ(cl::GetContentDispositionFileName("attachment; filename=\"a.bin\""), "a.bin");
    EXPECT_EQ(cl::GetContentDispositionFileName("attachment; filename=a.bin"), "a.bin");
    EXPECT_EQ(cl::GetContentDispositionFileName("attachment; filename=\"../../etc/passwd\""), "passwd");
    EXPECT_EQ(cl::GetContentDispositionFileName("attachment; filename=\"..\\\\x\\\\b.txt\""), "b.txt");
    EXPECT_EQ(cl::GetContentDispositionFileName("attachment; filename=\"..\""), "");
    EXPECT_EQ(cl::GetContentDispositionFileName("inline"), "");
}

TEST(LocalFiles, ForcedFoldersAreCreatedAndAFileInTheWayIsAClearError) {
    TTempFolder dir;
    cl::ForceFileFolders(dir.File("a/b/c/file.bin"));
    EXPECT_TRUE(fs::is_directory(dir.File("a/b/c")));
    WriteFile(dir.File("plain"), "x");
    EXPECT_THROW(cl::ForceFileFolders(dir.File("plain/sub/file.bin")), cl::EFCreateError);
}

TEST(LocalFiles, FileTimesAreTheLocalDateGiven) {
    TTempFolder dir;
    const std::string file = dir.File("t.bin");
    WriteFile(file, "x");
    const cl::TDateTime when = cl::UnixTimeToLocalDateTime(1700000000);
    ASSERT_TRUE(cl::SetFileTimes(file, when));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1700000000);
    EXPECT_EQ(st.st_atime, 1700000000);
    EXPECT_FALSE(cl::SetFileTimes(dir.File("missing"), when));
}

TEST(LocalFiles, AGzipFileIsDecodedAndACutOffOneRefused) {
    TTempFolder dir;
    const cltest::Bytes text = cltest::SampleText(50000);
    const cltest::Bytes gz = cltest::Gzip(text);
    WriteFile(dir.File("whole~"), std::string(gz.begin(), gz.end()));
    cl::GunzipFile(dir.File("whole~"), dir.File("whole"));
    EXPECT_EQ(ReadFile(dir.File("whole")), std::string(text.begin(), text.end()));

    WriteFile(dir.File("cut~"), std::string(gz.begin(), gz.end() - 40));
    EXPECT_THROW(cl::GunzipFile(dir.File("cut~"), dir.File("cut")), cl::EclZLibError);
    WriteFile(dir.File("junk~"), "this is not gzip at all, not even close");
    EXPECT_THROW(cl::GunzipFile(dir.File("junk~"), dir.File("junk")), cl::EclZLibError);
}

TEST(StoredValues, LineBreaksAndBackslashesSurviveAndMalformedNumbersFallBack) {
    const std::string value = "a\\b\r\nc";
    EXPECT_EQ(cl::UnescapeStoredValue(cl::EscapeStoredValue(value)), value);
    EXPECT_EQ(cl::EscapeStoredValue(value).find('\n'), std::string::npos);
    cl::TStringList values;
    values.SetValue("N", "12x");
    values.SetValue("M", "-7");
    EXPECT_EQ(cl::ReadStoredNumber(values, "N", 5), 5);
    EXPECT_EQ(cl::ReadStoredNumber(values, "M", 5), -7);
    EXPECT_EQ(cl::ReadStoredNumber(values, "missing", 5), 5);
}

}  // namespace
