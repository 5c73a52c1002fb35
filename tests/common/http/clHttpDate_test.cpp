#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "http/clHttpDate.h"

using namespace cl;

namespace {

// Runs the test body in a fixed zone 8 hours ahead of UTC.
class HttpDate : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        FOldTz = tz ? tz : "";
        FHadTz = tz != nullptr;
        setenv("TZ", "CST-8", 1);
        tzset();
    }
    void TearDown() override {
        if (FHadTz)
            setenv("TZ", FOldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static TDateTime Local(int y, int mo, int d, int h, int mi, int s) {
        return EncodeDateTimeValue(y, mo, d, h, mi, s) + 8.0 / 24.0;
    }
    std::string FOldTz;
    bool FHadTz = false;
};

constexpr double kSecond = 1.0 / 86400.0;

}  // namespace

TEST_F(HttpDate, RfcDatesAreReadAsLocalTime) {
    EXPECT_EQ(LocalUtcOffsetSeconds(), 8 * 3600);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 10:18:14 GMT"), Local(2021, 6, 9, 10, 18, 14), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("  Thu, 01 Jan 2099 00:00:00 GMT "), Local(2099, 1, 1, 0, 0, 0), kSecond / 10);
    // Numeric zones shift to universal time first.
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 10:18:14 +0200"), Local(2021, 6, 9, 8, 18, 14), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 10:18:14 -0130"), Local(2021, 6, 9, 11, 48, 14), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 10:18:14 +99xx"), Local(2021, 6, 9, 10, 18, 14), kSecond / 10);
}

TEST_F(HttpDate, TwoDigitYearsAndTwelveHourClock) {
    EXPECT_NEAR(ParseHttpDate("Sat, 01 Jan 05 00:00:00 GMT"), Local(2005, 1, 1, 0, 0, 0), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Fri, 01 Jan 99 00:00:00 GMT"), Local(1999, 1, 1, 0, 0, 0), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 21 10:18:14 GMT"), Local(1921, 6, 9, 10, 18, 14), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 1:05PM GMT"), Local(2021, 6, 9, 13, 5, 0), kSecond / 10);
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 12:30:00AM GMT"), Local(2021, 6, 9, 0, 30, 0), kSecond / 10);
}

TEST_F(HttpDate, TokensNeedAFollowingSpace) {
    // No zone after the time: the time is not taken.
    EXPECT_NEAR(ParseHttpDate("Wed, 09 Jun 2021 10:18:14"), Local(2021, 6, 9, 0, 0, 0), kSecond / 10);
    EXPECT_EQ(ParseHttpDate("Wed, 09 Jun 2021"), 0);
    EXPECT_EQ(ParseHttpDate(""), 0);
    // No space after the comma: the first digit of the day is lost.
    EXPECT_NEAR(ParseHttpDate("Wed,19 Jun 2021 10:18:14 GMT"), Local(2021, 6, 9, 10, 18, 14), kSecond / 10);
}

TEST_F(HttpDate, MalformedNumbersAndImpossibleDatesRaise) {
    EXPECT_THROW(ParseHttpDate("Wed, xx Jun 2021 10:18:14 GMT"), EConvertError);
    EXPECT_THROW(ParseHttpDate("Wed, 09 Jun year 10:18:14 GMT"), EConvertError);
    EXPECT_THROW(ParseHttpDate("Wed, 30 Feb 2021 10:18:14 GMT"), EConvertError);
    EXPECT_THROW(ParseHttpDate("Wed, 09 Jun 2021 24:00:00 GMT"), EConvertError);
    EXPECT_NO_THROW(ParseHttpDate("Tue, 29 Feb 2000 00:00:00 GMT"));
}

TEST_F(HttpDate, WritingGivesGmtAndReadsBack) {
    const TDateTime t = Local(2021, 6, 9, 10, 18, 14);
    EXPECT_EQ(DateTimeToHttpDate(t), "Wed, 09 Jun 2021 10:18:14 GMT");
    EXPECT_NEAR(ParseHttpDate(DateTimeToHttpDate(t)), t, kSecond / 10);
}
