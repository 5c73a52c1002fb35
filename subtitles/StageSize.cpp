#include "StageSize.h"

#include "flvMeta.h"

namespace subtitles {

Stage StageOfVideo(const std::string& flvPath) {
    cl::flv::MetaObject meta;
    if (!cl::flv::ParseMetaDataFromFile(meta, flvPath)) return {};
    const cl::flv::MetaValue* width = meta.Find("width");
    const cl::flv::MetaValue* height = meta.Find("height");
    auto usable = [](const cl::flv::MetaValue* v) {
        return v && v->kind == cl::flv::MetaValue::Kind::Number && v->number >= 1 && v->number <= 16384;
    };
    if (!usable(width) || !usable(height)) return {};
    return {int(width->number), int(height->number)};
}

}  // namespace subtitles
