// The window's small shared helpers: size, speed and progress texts, file
// name cleaning, row numbers, and the waits that keep the window serving its
// events (every wait of the window goes through the thread's message pump).
#pragma once

#include <QString>
#include <cstdint>

#include "transport/clMessagePump.h"

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
// AIndex + 1, left-padded with "0" to the number of digits of ACount.
QString PadNumber(int ACount, int AIndex);

// Runs what is pending for the window's thread: sent calls and Qt events.
void ProcessMessages();

// Stops a downloader (every item) when it is busy, then serves the window's
// events until it is idle. Handlers may run meanwhile. The wait sleeps until
// an event or sent call arrives; the short time-out only bounds a missed wake.
template <class TDownloader>
void StopAndWait(TDownloader& ADownloader) {
    if (!ADownloader.IsBusy()) return;
    ADownloader.Stop();
    auto pump = cl::TclMessagePump::Current();
    while (ADownloader.IsBusy()) {
        pump->WaitFor({}, nullptr, 50);
    }
}

}  // namespace bl
