// Reads a joined FLV file back with the joiner's own reader, for the merge
// tests: every tag, whether timestamps ever go back, and the onMetaData at
// its start.
#pragma once

#include <QFile>
#include <QString>

#include "flvAmf.h"
#include "flvFormat.h"
#include "flvTagReader.h"

struct TJoinedFile {
    bool HeaderOk = false;
    int ScriptTags = 0;
    bool ScriptFirst = false;
    int MediaTags = 0;
    bool TimestampsNeverBack = true;
    uint32_t LastTimestamp = 0;
    cl::flv::MetaObject Meta;
};

inline TJoinedFile ReadJoined(const QString& AName) {
    TJoinedFile file;
    cl::flv::TagReader reader;
    if (!reader.Open(QFile::encodeName(AName).toStdString())) return file;
    FlvHeader header{};
    file.HeaderOk = reader.ReadHeader(header) && header.hasAudio && header.hasVideo;
    bool first = true;
    while (cl::flv::TagPtr tag = reader.ReadTag(true)) {
        if (tag->type == FLV_TAG_SCRIPT) {
            ++file.ScriptTags;
            if (first) {
                file.ScriptFirst =
                    cl::flv::DecodeOnMetaData(tag->raw + cl::flv::kTagHeaderSize, tag->dataSize, file.Meta);
            }
        } else {
            ++file.MediaTags;
            if (tag->timestamp < file.LastTimestamp) file.TimestampsNeverBack = false;
            file.LastTimestamp = tag->timestamp;
        }
        first = false;
    }
    return file;
}

inline double MetaNumber(const cl::flv::MetaObject& AMeta, const char* AName) {
    const cl::flv::MetaValue* value = AMeta.Find(AName);
    return value ? value->number : -1;
}
