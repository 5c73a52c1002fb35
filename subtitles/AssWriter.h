// Writes ASS subtitles: the script header with the stage size and one style
// per kind of comment, then one Dialogue line per comment. Comment text is
// escaped so that nothing in it can open an override block or form a tag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "CommentReader.h"

namespace subtitles {

struct AssLook {
    int stageWidth = 1920;
    int stageHeight = 1080;
    std::string font = "sans-serif";
    double fontPx = 50;    // a normal-size comment
    double opacity = 0.8;  // 1 opaque, 0 invisible
};

// Where and when one comment is shown. Scrolling comments move from
// (x1, y) to (x2, y) with their top-left corner; top comments hang from
// (x1, y) by their top centre, bottom ones stand on it by their bottom centre.
struct AssEvent {
    Mode mode = Mode::ScrollLeft;
    double start = 0, end = 0;
    double x1 = 0, x2 = 0, y = 0;
    double fontPx = 0;  // 0: the style's size
    uint32_t colour = 0xFFFFFF;
    std::string_view text;
};

class AssWriter {
public:
    explicit AssWriter(AssLook look);

    void AppendHeader(std::string& out) const;
    void AppendEvent(std::string& out, const AssEvent& event) const;

private:
    AssLook FLook;
};

// "H:MM:SS.cc", rounded to the centisecond.
void AppendAssTime(std::string& out, double seconds);
// Comment text as Dialogue text: "/n" and line feeds become \N, '{' and '}'
// become \{ and \}, a backslash is followed by a word joiner so that it
// starts no tag, other control characters go.
void AppendEscapedText(std::string& out, std::string_view text);

}  // namespace subtitles
