// Metadata of a whole FLV file: computing it from the audio and video tags,
// and rewriting a file with it as the first tag through a temporary file.
#pragma once

#include <cstdint>
#include <string>

#include "flvAmf.h"
#include "flvFileIO.h"

namespace cl::flv {

extern const char kMetaDataCreator[];
extern const char kTempSuffix[];  // ".$$$"

// Counted over the audio and video tags of a file.
struct MediaStats {
    uint64_t videoFrames = 0;
    uint64_t videoBytes = 0;
    uint64_t audioBytes = 0;
    uint32_t lastTimestamp = 0;  // of the last audio or video tag
    bool sawVideo = false, sawAudio = false;
    uint8_t videoCodecId = 0;  // of the first video tag
    uint32_t width = 0, height = 0;
    uint8_t audioCodecId = 0;  // sound format of the first audio tag
};

// Sets the computed properties in their fixed order; false (nothing set)
// when the duration is below 1 ms.
bool SetComputedMetaData(MetaObject& meta, const MediaStats& stats);

bool ParseMetaDataFromFile(MetaObject& meta, const std::string& fileName);
bool UpdateMetaDataToFile(const MetaObject& meta, const std::string& fileName, const DiskCalls& disk = DiskCalls());

}  // namespace cl::flv
