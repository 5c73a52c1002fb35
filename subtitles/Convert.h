// Turns a comment document into ASS subtitles: the entry point of the
// library. One call converts a file beside its video:
//   subtitles::ConvertFile(xml, subtitles::AssPathFor(xml), {.stage = subtitles::StageOfVideo(flv)})
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "CommentReader.h"

namespace subtitles {

struct Stage {
    int width = 1920;
    int height = 1080;
};

struct Options {
    Stage stage;
    std::string font = "sans-serif";
    double fontSize = 0;       // pixels of a normal-size comment; 0: scaled from the stage height
    double alpha = 0.8;        // opacity of the text, 1 opaque
    double scrollSeconds = 8;  // for a scrolling comment to cross the stage
    double fixedSeconds = 4;   // for a top or bottom comment to stay
};

struct Result {
    bool ok = false;
    std::string error;   // why nothing was written; empty when ok
    size_t written = 0;  // Dialogue lines
    SkipCounts skipped;
};

// Options that cannot make a picture (a stage or size below one pixel, an
// alpha outside 0..1, times not above zero) give their message; empty: usable.
std::string CheckOptions(const Options& options);

// The font size of a normal comment for these options.
double NormalFontPx(const Options& options);

// Writes assPath through a temporary name in its folder, renamed once
// complete: on any failure nothing new is left behind and an existing
// assPath is untouched.
Result ConvertFile(const std::string& xmlPath, const std::string& assPath, const Options& options = {});

// The same in memory; `ass` is replaced, and left empty on failure.
Result ConvertText(std::string_view xml, std::string& ass, const Options& options = {});

// FILE.xml -> FILE.ass; other names get ".ass" appended.
std::string AssPathFor(const std::string& xmlPath);

}  // namespace subtitles
