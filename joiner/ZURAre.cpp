// The exported C interface of the FLV library over its C++ modules.
#define ZURARE_BUILDING 1
#include "ZURAre.h"

#include <memory>
#include <new>

#include "flvMeta.h"
#include "flvTagCopier.h"
#include "flvTagReader.h"

using namespace cl::flv;

struct FlvReadFile {
    TagReader reader;
    bool broken = false;  // a tag could not be allocated: reading is over
};

namespace {

// Nothing may unwind through the C interface; running out of memory for a
// tag or a file buffer is reported as a failure of the call.
template <typename F>
auto Guarded(F&& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace

struct FlvWriteFile {
    FileWriter writer;
};

struct FlvMeta {
    MetaObject object;
};

extern "C" {

FlvWriteFile* CreateFileWriteAble(const char* fileName) {
    if (!fileName) return nullptr;
    return Guarded(
        [&]() -> FlvWriteFile* {
            auto file = std::make_unique<FlvWriteFile>();
            return file->writer.Create(fileName) ? file.release() : nullptr;
        },
        nullptr);
}

bool DeleteFileWritable(FlvWriteFile* file) {
    std::unique_ptr<FlvWriteFile> owned(file);
    return owned && owned->writer.Close();
}

bool Flv_SyncFile(const char* fileName) {
    return fileName && Guarded([&] { return SyncFile(fileName); }, false);
}

FlvReadFile* CreateFileReadAble(const char* fileName) {
    if (!fileName) return nullptr;
    return Guarded(
        [&]() -> FlvReadFile* {
            auto file = std::make_unique<FlvReadFile>();
            return file->reader.Open(fileName) ? file.release() : nullptr;
        },
        nullptr);
}

void DeleteFileReadAble(FlvReadFile* file) { delete file; }

bool Flv_ReadFailed(const FlvReadFile* file) { return file && (file->broken || file->reader.Failed()); }

bool Flv_ReadHeader(FlvReadFile* file, FlvHeader* header) {
    FlvHeader h{};
    if (!file || !file->reader.ReadHeader(h)) return false;
    if (header) *header = h;
    return true;
}

bool Flv_WriteHeader(FlvWriteFile* file, const FlvHeader* header) {
    if (!file || !header) return false;
    const auto bytes = EncodeFileHeader(*header);
    file->writer.Write(bytes.data(), bytes.size());
    return !file->writer.Failed();
}

bool Flv_ReadTag(FlvReadFile* file, FlvTag** tag, bool withData) {
    if (tag) *tag = nullptr;
    if (!file || !tag || file->broken) return false;
    TagPtr read;
    try {
        read = file->reader.ReadTag(withData);
    } catch (...) {
        file->broken = true;
        return false;
    }
    if (!read) return false;
    *tag = read.release();
    return true;
}

bool Flv_WriteTag(FlvWriteFile* file, const FlvTag* tag) {
    if (!file || !tag || !tag->raw) return false;
    file->writer.Write(tag->raw, tag->rawSize);
    return !file->writer.Failed();
}

bool Flv_AppendMediaTags(FlvReadFile* source, FlvWriteFile* dest, uint32_t offset, uint32_t* lastTimestamp) {
    if (lastTimestamp) *lastTimestamp = 0;
    if (!source || !dest) return false;
    if (!source->broken) {
        try {
            if (FileReader* in = source->reader.AtTagBoundary()) {
                const MediaCopyResult copied = CopyMediaTags(*in, dest->writer, offset);
                if (lastTimestamp) *lastTimestamp = copied.lastTimestamp;
            }
        } catch (...) {  // no memory for a large tag's window: reading is over
            source->broken = true;
        }
    }
    return !dest->writer.Failed();
}

void Flv_SetTagTimestamp(FlvTag* tag, uint32_t timestamp) {
    if (tag) SetTagTimestamp(*tag, timestamp);
}

void Flv_FreeTag(FlvTag* tag) { TagPtr owned(tag); }

FlvMeta* FlvMetaCreateObject(void) { return new (std::nothrow) FlvMeta; }

void FlvMetaDeleteObject(FlvMeta* meta) { delete meta; }

bool FlvMetaParseFromFile(FlvMeta* meta, const char* fileName) {
    return meta && fileName && Guarded([&] { return ParseMetaDataFromFile(meta->object, fileName); }, false);
}

bool FlvMetaUpdateToFile(FlvMeta* meta, const char* fileName) {
    return meta && fileName && Guarded([&] { return UpdateMetaDataToFile(meta->object, fileName); }, false);
}

}  // extern "C"
