// Reads an FLV file tag by tag: a buffered file feeding the tag decoder.
#pragma once

#include <string>

#include "flvFileIO.h"
#include "flvTagDecoder.h"

namespace cl::flv {

class TagReader {
public:
    bool Open(const std::string& fileName, FileReader::Access access = FileReader::Access::Buffered) {
        return FFile.Open(fileName, access);
    }

    // Reads the file header; false when it is missing or not an FLV header.
    bool ReadHeader(FlvHeader& header);
    // The next complete tag, or null at the end of the file, after an error,
    // or when the last tag is cut short (that partial tag is dropped).
    TagPtr ReadTag(bool withData);

    // Moves past the header's gap to the first tag, when the header was read
    // and no tag is under way, and lends the file for reading whole tags from
    // there; null otherwise. A caller that takes only whole tags leaves the
    // reader where ReadTag can go on.
    FileReader* AtTagBoundary();

    bool Failed() const { return FFile.Failed(); }
    // File offset just past the last tag returned.
    int64_t Position() const { return FFile.Position(); }
    int Fd() const { return FFile.Fd(); }

private:
    // Feeds the decoder until it reports something other than NeedInput;
    // NeedInput means the input ended.
    TagDecoder::Event Pump();

    FileReader FFile;
    TagDecoder FDecoder;
};

}  // namespace cl::flv
