#include "SeamMender.h"

namespace remux {

// The joining tool starts each source at the timestamp of the last tag of
// the source before it: one frame too early, since that tag still plays
// for its own duration, so a stream can land on its own last time, and
// the stream that ends later (mostly the audio, whose encoder runs a
// little past the picture) steps back by a few milliseconds. An MP4 track
// needs decoding times that rise strictly. Moving the rest of the video,
// every stream alike, forward so that the packet at the seam follows the
// one before it by its stream's own step keeps every packet, the gaps
// between them and the sync of sound and picture within each source; the
// playing time grows by about one frame at each seam, the frame the
// joining tool overlapped. Clamping only the packets at the seam would
// squeeze them together, dropping them would cut sound, and moving one
// stream alone would let it drift further from the other at every seam.
void SeamMender::Mend(std::size_t stream, int64_t& dts, int64_t& pts) {
    Stream& s = streams_[stream];
    if (dts == kNone && pts == kNone) {
        dts = s.last == kNone ? shift_ : s.last + s.step;  // a time written already, shift and all
    } else {
        if (dts == kNone) dts = pts;
        dts += shift_;
        if (pts != kNone) pts += shift_;
    }
    if (s.last != kNone && dts <= s.last) {
        const int64_t forward = s.last + s.step - dts;
        shift_ += forward;
        dts += forward;
        if (pts != kNone) pts += forward;
        ++seams_;
    } else if (s.last != kNone) {
        s.step = dts - s.last;
    }
    s.last = dts;
}

}  // namespace remux
