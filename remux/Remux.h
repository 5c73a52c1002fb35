// Copies the video and audio streams of an FLV file into an MP4 file
// without decoding them: the entry point of the library.
//   remux::Result r = remux::ConvertFile(flv, remux::Mp4PathFor(flv));
// H.264 video with AAC or MP3 audio is carried as it is; any other codec
// is refused (never re-encoded). The MP4 has its index in front of the
// media, so that a player can start before the whole file is read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace remux {

enum class Outcome {
    Converted,       // the MP4 is in place and checked (and on the disk when asked)
    NotConvertible,  // a codec MP4 cannot carry as it is; nothing written
    Failed,          // the source cannot be read, or the MP4 cannot be written
    Stopped,         // the stop flag was raised; nothing left behind
};

struct Options {
    // Whether an existing file at the MP4's name is replaced; otherwise the
    // conversion fails before it starts.
    bool replace = false;
    // Checked between packets and inside every read and write; once true,
    // the conversion ends soon with Outcome::Stopped.
    const std::atomic<bool>* stop = nullptr;
    // Whether the MP4 and its folder entry are put on the disk before the
    // call returns: needed before the source is deleted, so that a power loss
    // cannot take both.
    bool sync = false;
    // Told after each packet copied: the share of the source read, 0 to 1.
    std::function<void(double)> progress;
};

struct Result {
    Outcome outcome = Outcome::Failed;
    std::string error;         // why not converted; empty when converted
    bool cutShort = false;     // the source ends inside a tag or cannot be read to its end
    std::string note;          // with a conversion of a cut-short source: what it held
    double sourceSeconds = 0;  // the playing time the source's packets span
    double mp4Seconds = 0;     // the MP4's, read back from it
    int64_t packets = 0;       // audio and video packets copied
    int64_t seams = 0;         // places where the source stepped back and the rest moved forward

    bool Ok() const { return outcome == Outcome::Converted; }
};

// Writes mp4Path through a temporary name in its folder, reads it back
// (every stream of the source there, the playing time within 0.1 s of the
// source's), puts it on the disk when asked and then renames it into place. On any
// failure nothing new is left behind; the source is never changed.
Result ConvertFile(const std::string& flvPath, const std::string& mp4Path, const Options& options = {});

// FILE.flv -> FILE.mp4; other names get ".mp4" appended.
std::string Mp4PathFor(const std::string& flvPath);

}  // namespace remux
