// The FTP listing parsers line by line: MLSD facts and "ls -l" lines, with
// the lines a listing may hold that are no entries.
#include "engine/clWinInetFtpListing.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

using namespace cl;

namespace {

struct TListingRow {
    const char* Line;
    std::optional<WIN32_FIND_DATAW> Entry;  // none: the line is no entry
};

WIN32_FIND_DATAW Entry(uint32_t AAttributes, int64_t ASize, int64_t ATime, std::u16string AName) {
    return WIN32_FIND_DATAW{AAttributes, ATime, ASize, std::move(AName)};
}

// Each line alone, then all of them as one listing with CR LF line ends.
template <class Parse>
void ExpectRows(Parse AParse, const std::vector<TListingRow>& ARows) {
    std::string listing;
    std::vector<WIN32_FIND_DATAW> expected;
    for (const TListingRow& row : ARows) {
        SCOPED_TRACE(row.Line);
        const std::vector<WIN32_FIND_DATAW> entries = AParse(row.Line);
        ASSERT_EQ(entries.size(), row.Entry ? 1u : 0u);
        if (row.Entry) {
            EXPECT_EQ(entries[0].dwFileAttributes, row.Entry->dwFileAttributes);
            EXPECT_EQ(entries[0].nFileSize, row.Entry->nFileSize);
            EXPECT_EQ(entries[0].ftLastWriteTime, row.Entry->ftLastWriteTime);
            EXPECT_EQ(entries[0].cFileName, row.Entry->cFileName);
            expected.push_back(*row.Entry);
        }
        listing += std::string(row.Line) + "\r\n";
    }
    const std::vector<WIN32_FIND_DATAW> all = AParse(listing);
    ASSERT_EQ(all.size(), expected.size());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].cFileName, expected[i].cFileName);
}

}  // namespace

TEST(FtpListing, MlsdFactsGiveTypeSizeAndTimeAndDirectoryMarkersAreLeftOut) {
    ExpectRows(
        wininet::ParseMlsd,
        {
            {"type=file;size=1234;modify=20240102030405; movie.flv",
             Entry(FILE_ATTRIBUTE_NORMAL, 1234, 1704164645, u"movie.flv")},
            {"Type=DIR;Modify=20231231235959; Sub Dir", Entry(FILE_ATTRIBUTE_DIRECTORY, 0, 1704067199, u"Sub Dir")},
            {"size=7;UNIX.mode=0644; \xe8\xa7\x86\xe9\xa2\x91.txt",
             Entry(FILE_ATTRIBUTE_NORMAL, 7, 0, u"\u89c6\u9891.txt")},
            {"type=file;size=x;modify=2024; odd.flv", Entry(FILE_ATTRIBUTE_NORMAL, 0, 0, u"odd.flv")},
            {"type=cdir;modify=20240102030405; .", std::nullopt},
            {"type=pdir; ..", std::nullopt},
            {"malformed-line-without-a-name", std::nullopt},
        });
}

TEST(FtpListing, UnixLinesGiveTypeSizeAndTimeAndOtherLinesAreLeftOut) {
    ExpectRows(wininet::ParseUnixList, {
                                           {"-rw-r--r--   1 owner group    1048576 Mar 05  2021 video.flv",
                                            Entry(FILE_ATTRIBUTE_NORMAL, 1048576, 1614902400, u"video.flv")},
                                           {"drwxr-xr-x 2 owner group 4096 DEC 31 2020 my  folder",
                                            Entry(FILE_ATTRIBUTE_DIRECTORY, 4096, 1609372800, u"my  folder")},
                                           {"total 12", std::nullopt},
                                           {"drwxr-xr-x 2 owner group 4096 Jan 01 2020 .", std::nullopt},
                                           {"drwxr-xr-x 2 owner group 4096 Jan 01 2020 ..", std::nullopt},
                                           {"-rw 1 owner group 5 Jan 01 2020 short-mode.flv", std::nullopt},
                                           {"lrwxrwxrwx 1 owner group 7 Jan 01 2020", std::nullopt},
                                       });
}

TEST(FtpListing, AUnixTimeWithoutAYearIsThisYearsInUtc) {
    std::time_t now = std::time(nullptr);
    std::tm before{};
    gmtime_r(&now, &before);
    const std::vector<WIN32_FIND_DATAW> entries =
        wininet::ParseUnixList("-rw-r--r-- 1 owner group 12 Jul 04 12:34 recent.flv\n");
    now = std::time(nullptr);
    std::tm after{};
    gmtime_r(&now, &after);
    ASSERT_EQ(entries.size(), 1u);
    const std::time_t time = static_cast<std::time_t>(entries[0].ftLastWriteTime);
    std::tm parsed{};
    gmtime_r(&time, &parsed);
    EXPECT_TRUE(parsed.tm_year == before.tm_year || parsed.tm_year == after.tm_year);
    EXPECT_EQ(parsed.tm_mon, 6);
    EXPECT_EQ(parsed.tm_mday, 4);
    EXPECT_EQ(parsed.tm_hour, 12);
    EXPECT_EQ(parsed.tm_min, 34);
}
