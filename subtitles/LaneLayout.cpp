#include "LaneLayout.h"

#include <algorithm>
#include <cmath>

namespace subtitles {
namespace {

// Characters drawn a full em wide in the fonts that carry them.
bool IsWide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F000 && cp <= 0x1FAFF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

}  // namespace

TextBox MeasureText(std::string_view text, double fontPx) {
    double widest = 0, line = 0;
    int lines = 1;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        if (c == '\n' || (c == '/' && i + 1 < text.size() && text[i + 1] == 'n')) {
            widest = std::max(widest, line);
            line = 0;
            ++lines;
            i += c == '\n' ? 1 : 2;
            continue;
        }
        uint32_t cp = c;
        size_t length = 1;
        if (c >= 0xF0)
            length = 4, cp = c & 0x07;
        else if (c >= 0xE0)
            length = 3, cp = c & 0x0F;
        else if (c >= 0xC0)
            length = 2, cp = c & 0x1F;
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (cp >= 0x20) line += IsWide(cp) ? fontPx : 0.6 * fontPx;
    }
    widest = std::max(widest, line);
    return {widest, lines * fontPx};
}

LaneLayout::LaneLayout(const LayoutParams& params)
    : FParams(params),
      FLanes(std::max(1, int(params.stageHeight / params.laneHeight))),
      FScrollLeft(FLanes),
      FScrollRight(FLanes),
      FTop(FLanes),
      FBottom(FLanes) {}

double LaneLayout::FreeAt(const Last& last, bool scrolling, double speed) const {
    if (!scrolling) return last.until;
    // The previous comment's tail must be on the stage with a gap behind it,
    // and this one must not reach the far edge before the previous one has
    // left: both distances change linearly, so checking the two ends of the
    // shared time is enough.
    const double gap = FParams.laneHeight / 2;
    const double tailIn = last.start + (last.width + gap) / last.speed;
    const double noCatch = last.start + FParams.scrollSeconds - FParams.stageWidth / speed;
    return std::max(tailIn, noCatch);
}

int LaneLayout::Place(Mode mode, double seconds, TextBox box) {
    const bool scrolling = mode == Mode::ScrollLeft || mode == Mode::ScrollRight;
    std::vector<Last>& lanes = mode == Mode::ScrollLeft    ? FScrollLeft
                               : mode == Mode::ScrollRight ? FScrollRight
                               : mode == Mode::Top         ? FTop
                                                           : FBottom;
    const int span = std::clamp(int(std::ceil(box.height / FParams.laneHeight - 1e-9)), 1, FLanes);
    const double speed = Speed(box.width);
    int best = 0;
    double bestFree = 1e300;
    for (int first = 0; first + span <= FLanes; ++first) {
        double free = -1e300;
        for (int k = first; k < first + span; ++k) free = std::max(free, FreeAt(lanes[k], scrolling, speed));
        if (free <= seconds) {
            best = first;
            break;
        }
        // No free lane so far: remember the one that frees first.
        if (free < bestFree) {
            bestFree = free;
            best = first;
        }
    }
    for (int k = best; k < best + span; ++k) {
        Last& last = lanes[k];
        last.start = seconds;
        last.width = box.width;
        last.speed = speed;
        last.until = seconds + FParams.fixedSeconds;
    }
    return best;
}

}  // namespace subtitles
