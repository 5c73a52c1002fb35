// Test helpers for the FLV joiner: building FLV files in memory, parsing
// them back without the library, and running the real joining tool.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cl::flvtest {

using Bytes = std::vector<uint8_t>;

struct TestTag {
    uint8_t type;
    uint32_t timestamp;
    Bytes data;
    uint32_t streamId = 0;
};

Bytes EncodeTestTag(const TestTag& tag);
// Header (flags byte as given), PreviousTagSize0, then the tags.
Bytes BuildFlv(const std::vector<TestTag>& tags, uint8_t flags = 0x05, uint8_t version = 1);

// Data of audio and video tags for several codecs.
Bytes AudioData(uint8_t soundFormat, size_t size);
Bytes H263Data(uint32_t width, uint32_t height, size_t size);
Bytes ScreenVideoData(uint32_t width, uint32_t height, size_t size);
Bytes Vp6Data(uint32_t width, uint32_t height, bool alpha, size_t size);
Bytes AvcData(size_t size);

// A small AMF0 writer for script tags.
class AmfWriter {
public:
    AmfWriter& String(const std::string& s);
    AmfWriter& Number(double v);
    AmfWriter& Boolean(bool v);
    AmfWriter& Name(const std::string& s);  // a property name (no marker)
    AmfWriter& Marker(uint8_t m);
    AmfWriter& U32(uint32_t v);
    AmfWriter& ObjectEnd();
    const Bytes& Get() const { return FOut; }

private:
    Bytes FOut;
};

// A script tag with onMetaData and an ECMA array of the given numbers.
TestTag OnMetaDataTag(uint32_t timestamp, const std::vector<std::pair<std::string, double>>& values);

// Audio (AAC) and video (H.263 320x240) tags every 40 ms from 0 to
// lastMs inclusive, audio first at each step.
std::vector<TestTag> MediaTags(uint32_t lastMs, size_t videoSize = 900, size_t audioSize = 180);

struct ParsedTag {
    uint8_t type;
    uint32_t dataSize;
    uint32_t timestamp;
    uint32_t streamId;
    Bytes data;
    uint32_t prevTagSize;
};

struct ParsedFlv {
    Bytes header;  // the 9 header bytes
    uint32_t prevTagSize0 = 0;
    std::vector<ParsedTag> tags;
    size_t trailingBytes = 0;  // bytes after the last complete tag
};

ParsedFlv ParseFlv(const Bytes& file);

struct AmfProperty {
    std::string name;
    uint8_t marker;
    double number = 0;
    bool boolean = false;
    std::string text;
};

struct ParsedMeta {
    std::string name;  // "onMetaData"
    uint32_t declaredCount = 0;
    std::vector<AmfProperty> properties;
    bool endMarker = false;
    size_t trailingBytes = 0;
    const AmfProperty* Find(const std::string& name) const;
};

// Parses script data made of a name and an ECMA array of numbers, Booleans
// and strings.
ParsedMeta ParseOnMetaData(const Bytes& data);

// A fresh folder removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return (FPath / name).string(); }
    const std::filesystem::path& Root() const { return FPath; }

private:
    std::filesystem::path FPath;
};

void WriteFile(const std::string& name, const Bytes& bytes);
Bytes ReadFile(const std::string& name);

struct RunResult {
    int status = -1000;  // exit status, or -1000 when not exited normally
    std::string out, err;
};

// Runs `program` with the arguments (no shell) and collects its output.
RunResult Run(const std::string& program, const std::vector<std::string>& args);
// Runs the joining tool built with this tree.
RunResult RunJoiner(const std::vector<std::string>& args);

}  // namespace cl::flvtest
