#include "flvMeta.h"

#include <cmath>
#include <unistd.h>

#include "flvTagCopier.h"
#include "flvTagReader.h"

namespace cl::flv {

const char kMetaDataCreator[] = "ZURAre FLV library 1.1";
const char kTempSuffix[] = ".$$$";

namespace {

double RoundHalfUp(double v) { return std::floor(v + 0.5); }

void AddTag(MediaStats& s, const FlvTag& tag) {
    if (tag.type == FLV_TAG_VIDEO) {
        if (!s.sawVideo) {
            s.sawVideo = true;
            s.videoCodecId = tag.codecId;
            s.width = tag.width;
            s.height = tag.height;
        }
        ++s.videoFrames;
        s.videoBytes += tag.dataSize;
    } else {
        if (!s.sawAudio) {
            s.sawAudio = true;
            s.audioCodecId = tag.soundFormat;
        }
        s.audioBytes += tag.dataSize;
    }
    s.lastTimestamp = tag.timestamp;
}

}  // namespace

bool SetComputedMetaData(MetaObject& meta, const MediaStats& s) {
    double duration = s.lastTimestamp * 0.001;
    if (duration < 0.001) return false;
    meta.SetNumber("duration", duration);
    meta.SetNumber("width", s.width);
    meta.SetNumber("height", s.height);
    meta.SetNumber("videodatarate", RoundHalfUp(double(s.videoBytes * 8 / 1000) / duration));
    meta.SetNumber("framerate", RoundHalfUp(double(s.videoFrames) / duration));
    meta.SetNumber("videocodecid", s.videoCodecId);
    meta.SetNumber("audiodatarate", RoundHalfUp(double(s.audioBytes * 8 / 1000) / duration));
    meta.SetNumber("audiodelay", 0);
    meta.SetNumber("audiocodecid", s.audioCodecId);
    meta.SetBoolean("canSeekToEnd", true);
    meta.SetNumber("lasttimestamp", duration);
    meta.SetString("metadatacreator", kMetaDataCreator);
    return true;
}

bool ParseMetaDataFromFile(MetaObject& meta, const std::string& fileName) {
    TagReader in;
    FlvHeader header;
    if (!in.Open(fileName, FileReader::Access::Mapped) || !in.ReadHeader(header)) return false;
    TagPtr first = in.ReadTag(true);
    if (!first) return false;
    if (first->type == FLV_TAG_SCRIPT) return DecodeOnMetaData(first->raw + kTagHeaderSize, first->dataSize, meta);
    // The media fields come with every tag, read with its data or not, so the
    // data itself is never needed here.
    MediaStats stats;
    for (TagPtr tag = std::move(first); tag; tag = in.ReadTag(false))
        if (IsMediaTag(*tag)) AddTag(stats, *tag);
    return SetComputedMetaData(meta, stats);
}

namespace {

// Removes the temporary file unless the rewrite went through, however the
// rewrite ends.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string name) : FName(std::move(name)) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard() {
        if (!FKept) ::unlink(FName.c_str());
    }
    void Keep() { FKept = true; }
    const std::string& Name() const { return FName; }

private:
    std::string FName;
    bool FKept = false;
};

}  // namespace

bool UpdateMetaDataToFile(const MetaObject& meta, const std::string& fileName, const DiskCalls& disk) {
    TagReader in;
    if (!in.Open(fileName)) return false;
    FileWriter out;
    if (!out.CreateNew(fileName + kTempSuffix)) return false;
    TempFileGuard temp(fileName + kTempSuffix);
    FlvHeader header;
    bool ok = in.ReadHeader(header);
    if (ok) {
        const auto head = EncodeFileHeader(header);
        out.Write(head.data(), head.size());
        std::vector<uint8_t> script = EncodeTag(FLV_TAG_SCRIPT, EncodeOnMetaData(meta));
        out.Write(script.data(), script.size());
        // The old script tags go with every other tag that is not audio or
        // video; the rest is copied as it is, in large pieces.
        FileReader* body = in.AtTagBoundary();
        ok = body && CopyMediaTags(*body, out, 0).mediaTags > 0 && !body->Failed();
    }
    // The new file is written out before it takes the name and the folder's
    // entry after, so that a power loss at any moment leaves the old file or
    // the whole new one under the name, never an empty or partial one. Renaming
    // over the old file replaces it in one step.
    if (!ok || !out.CloseSynced(disk) || disk.rename(temp.Name().c_str(), fileName.c_str()) != 0) return false;
    temp.Keep();  // it has taken the name
    return SyncFolderOf(fileName, disk);
}

}  // namespace cl::flv
