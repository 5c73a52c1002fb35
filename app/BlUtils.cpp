#include "BlUtils.h"

#include <QLocale>

namespace bl {

QString FormatSize(int64_t ABytes) {
    const double x = static_cast<double>(ABytes);
    constexpr double kKiB = 1024.0;
    constexpr double kMiB = kKiB * 1024.0;
    constexpr double kGiB = kMiB * 1024.0;
    QString text;
    if (x >= 100 * kGiB) {
        text = QString::asprintf("%5.0fGB", x / kGiB);
    } else if (x >= 10 * kGiB) {
        text = QString::asprintf("%5.1fGB", x / kGiB);
    } else if (x >= kGiB) {
        text = QString::asprintf("%5.2fGB", x / kGiB);
    } else if (x >= 100 * kMiB) {
        text = QString::asprintf("%5.0fMB", x / kMiB);
    } else if (x >= 10 * kMiB) {
        text = QString::asprintf("%5.1fMB", x / kMiB);
    } else if (x >= kMiB) {
        text = QString::asprintf("%5.2fMB", x / kMiB);
    } else if (x >= 100 * kKiB) {
        text = QString::asprintf("%5.0fKB", x / kKiB);
    } else if (x >= 10 * kKiB) {
        text = QString::asprintf("%5.1fKB", x / kKiB);
    } else if (x < kKiB) {
        text = QString::asprintf("%5.0f ", x);
    } else {
        text = QString::asprintf("%5.2fKB", x / kKiB);
    }
    return text.trimmed();
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

QString PadNumber(int ACount, int AIndex) {
    const int width = static_cast<int>(QString::number(ACount).size());
    return QString::number(AIndex + 1).rightJustified(width, QLatin1Char('0'));
}

void ProcessMessages() { cl::TclMessagePump::Current()->ProcessMessages(); }

}  // namespace bl
