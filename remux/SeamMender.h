// Keeps the timestamps of a joined video going forwards across the seams
// where the joining tool put a source too early, moving the later packets
// of every stream forward instead of dropping any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace remux {

class SeamMender {
public:
    static constexpr int64_t kNone = INT64_MIN;

    // AStreams streams that count time in the same units (an FLV file's all
    // count milliseconds).
    explicit SeamMender(std::size_t streams) : streams_(streams) {}

    // Mends one packet's decoding and presentation times (either may be
    // kNone) in the order the packets come.
    void Mend(std::size_t stream, int64_t& dts, int64_t& pts);
    // Packets whose stream stepped back, so that the rest moved forward.
    int64_t Seams() const { return seams_; }

private:
    struct Stream {
        int64_t last = kNone;  // the decoding time of its packet before, as written
        int64_t step = 1;      // its last forward step between two packets
    };
    std::vector<Stream> streams_;
    int64_t shift_ = 0;  // added to every packet from the last seam on
    int64_t seams_ = 0;
};

}  // namespace remux
