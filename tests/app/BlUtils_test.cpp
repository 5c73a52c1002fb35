#include "BlUtils.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <atomic>
#include <string_view>
#include <thread>

using namespace bl;

namespace {

struct TLocaleScope {
    explicit TLocaleScope(const QLocale& ALocale) { QLocale::setDefault(ALocale); }
    ~TLocaleScope() { QLocale::setDefault(QLocale::c()); }
};

TEST(FormatSize, KeepsThreeSignificantDigitsAtEveryUnitStep) {
    EXPECT_EQ(FormatSize(0), "0");
    EXPECT_EQ(FormatSize(512), "512");
    EXPECT_EQ(FormatSize(1023), "1023");
    EXPECT_EQ(FormatSize(1024), "1.00KB");
    EXPECT_EQ(FormatSize(2048), "2.00KB");
    EXPECT_EQ(FormatSize(10240), "10.0KB");
    EXPECT_EQ(FormatSize(102400), "100KB");
    EXPECT_EQ(FormatSize(1048575), "1024KB");
    EXPECT_EQ(FormatSize(1048576), "1.00MB");
    EXPECT_EQ(FormatSize(52428800), "50.0MB");
    EXPECT_EQ(FormatSize(104857600), "100MB");
    EXPECT_EQ(FormatSize(1073741824), "1.00GB");
    EXPECT_EQ(FormatSize(10LL << 30), "10.0GB");
    EXPECT_EQ(FormatSize(150LL << 30), "150GB");
}

TEST(FormatSize, RoundsToTheShownDecimals) {
    EXPECT_EQ(FormatSize(1536), "1.50KB");
    EXPECT_EQ(FormatSize(1024 + 1019), "2.00KB");  // 1.995... rounds up
    EXPECT_EQ(FormatSize(15 * 1024 + 1000), "16.0KB");
}

TEST(FormatSpeed, PicksTheUnitAndUsesTheLocaleSeparators) {
    const TLocaleScope english(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(FormatSpeed(0), "0.00 B/S");
    EXPECT_EQ(FormatSpeed(512), "512.00 B/S");
    EXPECT_EQ(FormatSpeed(1023.994), "1,023.99 B/S");
    EXPECT_EQ(FormatSpeed(1024), "1.00 KB/S");
    EXPECT_EQ(FormatSpeed(1536000), "1.46 MB/S");
    EXPECT_EQ(FormatSpeed(2000.0 * 1024 * 1024), "2,000.00 MB/S");

    const TLocaleScope german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatSpeed(1023.5 * 1024), "1.023,50 KB/S");
}

TEST(ProgressText, ShowsTwoDecimalsAndNothingWhileTheSizeIsUnknown) {
    EXPECT_EQ(ProgressText(4568, 10000), "45.68%");
    EXPECT_EQ(ProgressText(0, 10), "0.00%");
    EXPECT_EQ(ProgressText(10, 10), "100.00%");
    EXPECT_EQ(ProgressText(1, 3), "33.33%");
    EXPECT_EQ(ProgressText(500, 0), "");
}

TEST(SanitizeFileName, DropsTheNineReservedCharactersAndControlCharacters) {
    EXPECT_EQ(SanitizeFileName(QStringLiteral("a\\b/c:d*e?f\"g<h>i|j")), "abcdefghij");
    EXPECT_EQ(SanitizeFileName(QStringLiteral(" 第1集  name.flv ")), " 第1集  name.flv ");
    // A NUL would cut the path short, a line break make an awkward name.
    const std::u16string_view controls(u"a\u0000b\nc\td\u001f", 8);
    EXPECT_EQ(SanitizeFileName(QString::fromUtf16(controls.data(), controls.size())), "abcd");
    EXPECT_EQ(SanitizeFileName(QStringLiteral("???")), "");
}

TEST(PadNumber, PadsToTheDigitsOfTheRowCount) {
    EXPECT_EQ(PadNumber(1, 0), "1");
    EXPECT_EQ(PadNumber(9, 8), "9");
    EXPECT_EQ(PadNumber(10, 0), "01");
    EXPECT_EQ(PadNumber(10, 9), "10");
    EXPECT_EQ(PadNumber(12, 11), "12");
    EXPECT_EQ(PadNumber(100, 0), "001");
    EXPECT_EQ(PadNumber(100, 99), "100");
}

// A downloader that becomes idle only after a call sent from another thread ran.
struct TFakeDownloader {
    std::atomic<bool> Busy{true};
    int Stops = 0;
    bool IsBusy() const { return Busy; }
    void Stop() {
        ++Stops;
        auto pump = cl::TclMessagePump::Current();
        FWorker = std::thread([this, pump] { pump->Send([this] { Busy = false; }); });
    }
    ~TFakeDownloader() {
        if (FWorker.joinable()) FWorker.join();
    }
    std::thread FWorker;
};

TEST(StopAndWait, StopsABusyDownloaderAndServesSentCallsUntilItIsIdle) {
    TFakeDownloader downloader;
    StopAndWait(downloader);
    EXPECT_FALSE(downloader.IsBusy());
    EXPECT_EQ(downloader.Stops, 1);

    StopAndWait(downloader);  // idle: not stopped again
    EXPECT_EQ(downloader.Stops, 1);
}

}  // namespace
