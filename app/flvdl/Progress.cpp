#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QList>

#include "BlUtils.h"

namespace flvdl {

namespace {

bool IsWide(char32_t AChar) {
    return (AChar >= 0x1100 && AChar <= 0x115F) || (AChar >= 0x2E80 && AChar <= 0xA4CF && AChar != 0x303F) ||
           (AChar >= 0xAC00 && AChar <= 0xD7A3) || (AChar >= 0xF900 && AChar <= 0xFAFF) ||
           (AChar >= 0xFE30 && AChar <= 0xFE4F) || (AChar >= 0xFF00 && AChar <= 0xFF60) ||
           (AChar >= 0xFFE0 && AChar <= 0xFFE6) || (AChar >= 0x1F300 && AChar <= 0x1FAFF) ||
           (AChar >= 0x20000 && AChar <= 0x3FFFD);
}

void Write(FILE* AStream, const QString& AText) {
    const QByteArray bytes = AText.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), AStream);
}

QString Duration(int64_t ASeconds) {
    const int64_t h = ASeconds / 3600;
    const int64_t m = ASeconds / 60 % 60;
    const int64_t s = ASeconds % 60;
    const QString ms =
        QStringLiteral("%1:%2").arg(m, h > 0 ? 2 : 1, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return h > 0 ? QString::number(h) + QLatin1Char(':') + ms : ms;
}

// Pads or cuts AText to exactly AColumns columns.
QString Fit(const QString& AText, int AColumns) {
    QString text = CutToWidth(AText, AColumns);
    return text + QString(std::max(0, AColumns - TerminalWidth(text)), QLatin1Char(' '));
}

}  // namespace

int TerminalWidth(const QString& AText) {
    int width = 0;
    for (const uint c : AText.toUcs4()) width += c < 0x20 ? 0 : IsWide(c) ? 2 : 1;
    return width;
}

QString CutToWidth(const QString& AText, int AColumns) {
    int width = 0;
    qsizetype at = 0;
    while (at < AText.size()) {
        const bool pair = AText[at].isHighSurrogate() && at + 1 < AText.size() && AText[at + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(AText[at], AText[at + 1]) : AText[at].unicode();
        const int w = IsWide(c) ? 2 : 1;
        if (width + w > AColumns) break;
        width += w;
        at += pair ? 2 : 1;
    }
    return AText.left(at);
}

std::unique_ptr<TProgressView> TProgressView::For(FILE* AStream) {
    const int fd = fileno(AStream);
    if (::isatty(fd) == 0) return std::make_unique<TLineProgress>(AStream);
    winsize size{};
    const int columns = ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return std::make_unique<TTerminalProgress>(AStream, columns);
}

void TLineProgress::Event(const QString& ALine) {
    Write(FStream, ALine + QLatin1Char('\n'));
    std::fflush(FStream);
}

std::vector<QString> TTerminalProgress::Render(const std::vector<TSegmentProgress>& ASegments,
                                               const TTotalProgress& ATotal, int AColumns) {
    std::vector<QString> lines;
    // The figures take a fixed 36 columns at the right; the name gets the rest.
    const int nameColumns = std::max(8, AColumns - 37);
    for (const TSegmentProgress& segment : ASegments) {
        const QString size = segment.Size > 0 ? bl::FormatSize(segment.Size) : QStringLiteral("?");
        const QString percent = segment.Size > 0 ? bl::ProgressText(segment.Done, segment.Size) : QString();
        const QString figures =
            QStringLiteral("%1 %2 %3").arg(size, 8).arg(percent, 7).arg(bl::FormatSpeed(segment.Speed), 18);
        lines.push_back(CutToWidth(Fit(segment.Name, nameColumns) + QLatin1Char(' ') + figures, AColumns - 1));
    }
    QString total = QStringLiteral("parts %1/%2  %3  %4")
                        .arg(ATotal.PartsDone)
                        .arg(ATotal.PartsTotal)
                        .arg(bl::FormatSize(ATotal.Bytes), bl::FormatSpeed(ATotal.Speed));
    if (ATotal.SecondsLeft >= 0) total += QStringLiteral("  %1 left").arg(Duration(ATotal.SecondsLeft));
    lines.push_back(CutToWidth(total, AColumns - 1));
    return lines;
}

void TTerminalProgress::Event(const QString& ALine) {
    Clear();
    Write(FStream, ALine + QLatin1Char('\n'));
    Draw();
}

void TTerminalProgress::Show(const std::vector<TSegmentProgress>& ASegments, const TTotalProgress& ATotal) {
    FBlock = Render(ASegments, ATotal, FColumns);
    Clear();
    Draw();
}

void TTerminalProgress::Finish() {
    FBlock.clear();
    Clear();
    std::fflush(FStream);
}

void TTerminalProgress::Clear() {
    QString controls;
    // Up one line and erase it, for every line of the last block.
    for (; FDrawn > 0; --FDrawn) controls += QStringLiteral("\033[1A\033[2K");
    Write(FStream, controls);
}

void TTerminalProgress::Draw() {
    QString text;
    for (const QString& line : FBlock) text += line + QLatin1Char('\n');
    Write(FStream, text);
    FDrawn = static_cast<int>(FBlock.size());
    std::fflush(FStream);
}

}  // namespace flvdl
