// Copies the audio and video tags of an FLV file into another in large
// pieces: the tag bytes go from the reader's buffer (or mapped window) to
// the file, many tags to one system call, and only the headers whose
// timestamp changes are copied, to be patched. No tag is held on its own:
// memory stays at the reader's buffer, which grows only to hold the largest
// tag.
#pragma once

#include <cstdint>

#include "flvFileIO.h"

namespace cl::flv {

struct MediaCopyResult {
    uint32_t lastTimestamp = 0;  // unshifted, of the last whole tag read, whatever its type
    uint64_t mediaTags = 0;      // audio and video tags written
};

// Reads whole tags from `in`, which stands at a tag boundary, to its end (a
// last tag cut short is left unread) and writes every audio and video tag to
// `out` with its timestamp shifted by `offset` (wrapping at 32 bits); other
// tags are dropped. The bytes written are those that reading the tags one by
// one, shifting and writing them would give. Errors stay in the reader's and
// the writer's flags.
MediaCopyResult CopyMediaTags(FileReader& in, FileWriter& out, uint32_t offset);

}  // namespace cl::flv
