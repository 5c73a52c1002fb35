// The window's small shared helpers: size, speed and progress texts, file
// name cleaning, row numbers, and the waits that keep the window serving its
// events (every wait of the window goes through the thread's message pump).
#pragma once

#include <QString>
#include <cstdint>

#include "transport/clMessagePump.h"

namespace cl {
class TclDownLoadList;
class TclInternetItem;
}  // namespace cl

namespace bl {

// "512", "2.00KB", "50.0MB", "1.00GB": three significant digits where they fit.
QString FormatSize(int64_t ABytes);
// Bytes per second as B/S, KB/S or MB/S with two decimals and the locale's
// separators ("1,234.56 KB/S" in an English locale).
QString FormatSpeed(double ABytesPerSecond);
// "45.68%"; empty while the total is unknown (0).
QString ProgressText(int64_t ABytesDone, int64_t ATotalBytes);
// Drops \ / : * ? " < > | and every control character below U+0020.
QString SanitizeFileName(const QString& AName);
// A folder as the program keeps it: empty stays empty, any other path gets
// a trailing "/" unless it has one.
QString WithTrailingSeparator(const QString& AFolder);
// The longest file name (one path component) the file systems take, in bytes.
inline constexpr int kMaxNameBytes = 255;
// Drops whole characters from the end until the UTF-8 form fits AMaxBytes.
QString CutToUtf8Bytes(QString AText, int AMaxBytes);
// AIndex + 1, left-padded with "0" to the number of digits of ACount.
QString PadNumber(int ACount, int AIndex);

// Runs what is pending for the window's thread: sent calls and Qt events.
void ProcessMessages();

// Serves the window's events until ADone holds; handlers may run meanwhile.
// The wait sleeps until an event or sent call arrives; the short time-out
// only bounds a missed wake.
template <class TPredicate>
void ProcessMessagesUntil(TPredicate ADone) {
    auto pump = cl::TclMessagePump::Current();
    while (!ADone()) pump->WaitFor({}, nullptr, 50);
}

// Stops a downloader (every item) when it is busy, then serves the window's
// events until it is idle.
template <class TDownloader>
void StopAndWait(TDownloader& ADownloader) {
    if (!ADownloader.IsBusy()) return;
    ADownloader.Stop();
    ProcessMessagesUntil([&] { return !ADownloader.IsBusy(); });
}

// Starts AItem of AList asynchronously. An item still ending a run it was
// asked to stop refuses a start, and nothing would start it later, so the
// start waits for that end, serving the window's events. False when the item
// left the list meanwhile or refused the start.
bool StartWhenIdle(const cl::TclDownLoadList& AList, cl::TclInternetItem& AItem);

}  // namespace bl
