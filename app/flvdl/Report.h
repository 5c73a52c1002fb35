// What a run of flvdl did, video by video: the files it left, what failed
// and why. It decides the exit status and is written out as the --json
// summary.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace flvdl {

// Exit statuses.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnresolved = 3;
inline constexpr int kExitInterrupted = 130;

enum class TOutcome { Pending, Done, Failed };

struct TCommentReport {
    bool Asked = false;
    TOutcome Outcome = TOutcome::Pending;
    QString File;       // full path
    QString Error;      // why it was not stored
    QString Subtitles;  // the .ass written beside it, when asked
};

struct TPartReport {
    QString Number;  // as the video list numbers it ("01")
    QString Name;
    QString Cid;
    QString Quality;  // granted quality text, or empty
    int Segments = 0;
    int SegmentsDone = 0;
    bool Joined = false;        // a join made the video's file
    bool JoinEnded = false;     // a join of its segments ran to its end
    int JoinExitStatus = -1;    // the joining tool's exit status (-1: none)
    bool ConvertEnded = false;  // a conversion into an MP4 file ran to its end
    bool Converted = false;     // and made the video's MP4 file
    QString ConvertNote;        // why it did not, or what a cut-short source held
    TOutcome Video = TOutcome::Pending;
    QStringList Files;   // full paths of what the video left on disk
    QStringList Errors;  // each failure with its reason
    TCommentReport Comment;

    // Video and, when asked, comment file are done.
    bool Succeeded() const;
};

struct TRunReport {
    QString Page;
    QString Title;
    QString Kind;  // "normal", "series" or empty when unresolved
    QString Quality;
    QString Folder;
    std::vector<TPartReport> Parts;
    bool Interrupted = false;
    // Why the page could not be resolved (the window's message); empty when it was.
    QString Unresolved;

    // 130 when interrupted, 3 when unresolved, else 0 when every video
    // succeeded, else 1.
    int ExitStatus() const;
    // The summary for --json, one JSON document.
    std::string Json() const;
};

}  // namespace flvdl
