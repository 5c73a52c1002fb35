// Places comments on the stage. Scrolling comments go into lanes where they
// neither cover the lane's previous comment nor catch up with it before it
// has left; fixed ones stack down from the top or up from the bottom. Each
// lane keeps only its last comment, so placing one costs the number of
// lanes, whatever the length of the document.
#pragma once

#include <string_view>
#include <vector>

#include "CommentReader.h"

namespace subtitles {

// The estimated extent of a text drawn at a font size, in pixels: wide
// characters (CJK, full-width forms, emoji) a full em, others 0.6 em; "/n"
// and line feeds break lines.
struct TextBox {
    double width = 0;
    double height = 0;
};
TextBox MeasureText(std::string_view text, double fontPx);

struct LayoutParams {
    double stageWidth = 1920;
    double stageHeight = 1080;
    double laneHeight = 50;    // the normal font size
    double scrollSeconds = 8;  // to cross the whole stage
    double fixedSeconds = 4;
};

class LaneLayout {
public:
    explicit LaneLayout(const LayoutParams& params);

    // The first lane given to a comment that starts at `seconds`; comments
    // must come in time order. A comment taller than a lane takes the lanes
    // below it (above it for bottom comments) too.
    int Place(Mode mode, double seconds, TextBox box);

    int Lanes() const { return FLanes; }
    // Pixels per second of a scrolling comment of this width.
    double Speed(double width) const { return (FParams.stageWidth + width) / FParams.scrollSeconds; }

private:
    // The last comment of a lane; for fixed lanes only `until` is used.
    struct Last {
        double start = -1e300;
        double width = 0;
        double speed = 1;
        double until = -1e300;
    };
    double FreeAt(const Last& last, bool scrolling, double speed) const;

    LayoutParams FParams;
    int FLanes;
    std::vector<Last> FScrollLeft, FScrollRight, FTop, FBottom;
};

}  // namespace subtitles
