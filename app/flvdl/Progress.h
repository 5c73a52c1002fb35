// What flvdl shows while it runs. On a terminal: the events that matter as
// lines that scroll, under them one line per running segment and a total
// line, redrawn in place. On a pipe or file: the events only, one plain line
// each, so that a script can read them.
#pragma once

#include <QString>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace flvdl {

struct TSegmentProgress {
    QString Name;
    int64_t Size = 0;  // 0 while unknown
    int64_t Done = 0;
    double Speed = 0;  // bytes per second
};

struct TTotalProgress {
    int PartsDone = 0;
    int PartsTotal = 0;
    int64_t Bytes = 0;
    double Speed = 0;
    int64_t SecondsLeft = -1;  // -1 while unknown
};

class TProgressView {
public:
    virtual ~TProgressView() = default;
    // Something that matters happened: a video resolved, a segment done or
    // failed, a join, a comment file.
    virtual void Event(const QString& ALine) = 0;
    // The running state; only a terminal shows it.
    virtual void Show(const std::vector<TSegmentProgress>& ASegments, const TTotalProgress& ATotal) = 0;
    // Takes the running state off the screen.
    virtual void Finish() = 0;
    // Whether Show draws anything (the caller then refreshes it regularly).
    virtual bool IsLive() const = 0;

    // The view for AStream: live when it is a terminal.
    static std::unique_ptr<TProgressView> For(FILE* AStream);
};

// One plain line per event.
class TLineProgress : public TProgressView {
public:
    explicit TLineProgress(FILE* AStream) : FStream(AStream) {}
    void Event(const QString& ALine) override;
    void Show(const std::vector<TSegmentProgress>&, const TTotalProgress&) override {}
    void Finish() override {}
    bool IsLive() const override { return false; }

private:
    FILE* FStream;
};

// Events above a block of lines redrawn in place with terminal controls.
class TTerminalProgress : public TProgressView {
public:
    // AColumns: the terminal's width; lines are cut to it so that none wraps.
    TTerminalProgress(FILE* AStream, int AColumns) : FStream(AStream), FColumns(AColumns) {}
    void Event(const QString& ALine) override;
    void Show(const std::vector<TSegmentProgress>& ASegments, const TTotalProgress& ATotal) override;
    void Finish() override;
    bool IsLive() const override { return true; }

    // The lines of the block (without controls).
    static std::vector<QString> Render(const std::vector<TSegmentProgress>& ASegments, const TTotalProgress& ATotal,
                                       int AColumns);

private:
    void Clear();
    void Draw();

    FILE* FStream;
    int FColumns;
    std::vector<QString> FBlock;
    int FDrawn = 0;
};

// Columns a text takes on a terminal: East Asian wide characters take two.
int TerminalWidth(const QString& AText);
// The text cut at a character boundary to at most AColumns columns.
QString CutToWidth(const QString& AText, int AColumns);

}  // namespace flvdl
