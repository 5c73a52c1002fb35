#include "BlUtils.h"

#include <QLocale>
#include <exception>

#include "engine/clMultiDownLoader.h"

namespace bl {

QString FormatSize(int64_t ABytes) {
    constexpr double kKiB = 1024.0;
    constexpr double kMiB = kKiB * 1024.0;
    constexpr double kGiB = kMiB * 1024.0;
    // The first step the size reaches picks its unit and decimals.
    struct TSizeStep {
        double From;
        double Unit;
        const char* Format;
    };
    static constexpr TSizeStep kSteps[] = {
        {100 * kGiB, kGiB, "%5.0fGB"}, {10 * kGiB, kGiB, "%5.1fGB"}, {kGiB, kGiB, "%5.2fGB"},
        {100 * kMiB, kMiB, "%5.0fMB"}, {10 * kMiB, kMiB, "%5.1fMB"}, {kMiB, kMiB, "%5.2fMB"},
        {100 * kKiB, kKiB, "%5.0fKB"}, {10 * kKiB, kKiB, "%5.1fKB"}, {kKiB, kKiB, "%5.2fKB"},
    };
    const double x = static_cast<double>(ABytes);
    for (const TSizeStep& step : kSteps) {
        if (x >= step.From) return QString::asprintf(step.Format, x / step.Unit).trimmed();
    }
    return QString::asprintf("%5.0f ", x).trimmed();
}

QString FormatSpeed(double ABytesPerSecond) {
    const QLocale locale;
    double value = ABytesPerSecond;
    if (value < 1024) return locale.toString(value, 'f', 2) + " B/S";
    value /= 1024;
    if (value < 1024) return locale.toString(value, 'f', 2) + " KB/S";
    value /= 1024;
    return locale.toString(value, 'f', 2) + " MB/S";
}

QString ProgressText(int64_t ABytesDone, int64_t ATotalBytes) {
    if (ATotalBytes <= 0) return QString();
    const double percent = static_cast<double>(ABytesDone) / static_cast<double>(ATotalBytes) * 100.0;
    return QString::asprintf("%2.2f", percent) + "%";
}

QString WithTrailingSeparator(const QString& AFolder) {
    if (AFolder.isEmpty() || AFolder.endsWith(QLatin1Char('/'))) return AFolder;
    return AFolder + QLatin1Char('/');
}

QString SanitizeFileName(const QString& AName) {
    static const QString kDropped = QStringLiteral("\\/:*?\"<>|");
    QString result;
    result.reserve(AName.size());
    for (const QChar c : AName) {
        if (c.unicode() < 0x20 || kDropped.contains(c)) continue;
        result.append(c);
    }
    return result;
}

QString CutToUtf8Bytes(QString AText, int AMaxBytes) {
    while (!AText.isEmpty() && AText.toUtf8().size() > AMaxBytes) {
        const bool pair =
            AText.size() >= 2 && AText.back().isLowSurrogate() && AText.at(AText.size() - 2).isHighSurrogate();
        AText.chop(pair ? 2 : 1);
    }
    return AText;
}

QString PadNumber(int ACount, int AIndex) {
    const int width = static_cast<int>(QString::number(ACount).size());
    return QString::number(AIndex + 1).rightJustified(width, QLatin1Char('0'));
}

void ProcessMessages() { cl::TclMessagePump::Current()->ProcessMessages(); }

bool StartWhenIdle(const cl::TclDownLoadList& AList, cl::TclInternetItem& AItem) {
    // The item may finish or be deleted meanwhile: its address is only
    // compared until it is known to be in the list still.
    const cl::TclInternetItem* item = &AItem;
    ProcessMessagesUntil([&] { return AList.IndexOf(item) < 0 || !item->IsBusy(); });
    if (AList.IndexOf(item) < 0) return false;
    try {
        AItem.Start(true);
        return true;
    } catch (const std::exception&) {
        // Not expected once idle; nothing may escape into the event loop.
        return false;
    }
}

}  // namespace bl
