// The media servers' FLV segments: synthetic ones built tag by tag (a
// header, onMetaData, H.263 video and AAC audio tags with realistic sizes
// and timestamps), and playable ones made once by ffmpeg into a cache
// folder (H.264 and AAC as the site serves today, or the H.263 and MP3 of
// its oldest videos). The store hands out each segment's bytes, made on first use.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "site/SiteCatalogue.h"

namespace vidsite {

struct TSegmentShape {
    int Quality = 80;  // quality code; sets the picture size and tag sizes
    uint32_t DurationMs = 2000;
    uint32_t Seed = 0;       // makes the payloads of different segments differ
    bool OldCodecs = false;  // playable: H.263 and MP3 instead of H.264 and AAC
};

struct TPictureSize {
    uint32_t Width;
    uint32_t Height;
};
TPictureSize PictureSizeOf(int AQuality);

std::string MakeSyntheticSegment(const TSegmentShape& AShape);

// A playable segment from ffmpeg's test sources, cached in AFolder under a
// name made of the shape; empty when ffmpeg is missing or fails.
std::string MakePlayableSegment(const std::string& AFolder, const TSegmentShape& AShape);

// The bytes of a corrupt segment: the same length, a tag in the middle with
// an impossible data size.
std::string CorruptSegment(std::string ASegment);

class TSegmentStore {
public:
    // An empty folder gives synthetic segments only.
    explicit TSegmentStore(std::string APlayableFolder = {}) : FPlayableFolder(std::move(APlayableFolder)) {}

    std::shared_ptr<const std::string> Segment(const TSitePart& APart, int AQuality, int AIndex);

private:
    std::string FPlayableFolder;
    std::mutex FLock;  // held while a segment is made, so each is made once
    std::map<std::tuple<int64_t, int, int, uint32_t>, std::shared_ptr<const std::string>> FSegments;
};

}  // namespace vidsite
