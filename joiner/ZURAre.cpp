// The exported C interface of the FLV library over its C++ modules.
#define ZURARE_BUILDING 1
#include "ZURAre.h"

#include <memory>
#include <new>

#include "flvMeta.h"
#include "flvTagReader.h"

using namespace cl::flv;

struct FlvReadFile {
  TagReader reader;
};

struct FlvWriteFile {
  FileWriter writer;
};

struct FlvMeta {
  MetaObject object;
};

extern "C" {

FlvWriteFile* CreateFileWriteAble(const char* fileName) {
  if (!fileName)
    return nullptr;
  auto file = std::make_unique<FlvWriteFile>();
  if (!file->writer.Create(fileName))
    return nullptr;
  return file.release();
}

bool DeleteFileWritable(FlvWriteFile* file) {
  std::unique_ptr<FlvWriteFile> owned(file);
  return owned && owned->writer.Close();
}

FlvReadFile* CreateFileReadAble(const char* fileName) {
  if (!fileName)
    return nullptr;
  auto file = std::make_unique<FlvReadFile>();
  if (!file->reader.Open(fileName))
    return nullptr;
  return file.release();
}

void DeleteFileReadAble(FlvReadFile* file) { delete file; }

bool Flv_ReadFailed(const FlvReadFile* file) { return file && file->reader.Failed(); }

bool Flv_ReadHeader(FlvReadFile* file, FlvHeader* header) {
  FlvHeader h{};
  if (!file || !file->reader.ReadHeader(h))
    return false;
  if (header)
    *header = h;
  return true;
}

bool Flv_WriteHeader(FlvWriteFile* file, const FlvHeader* header) {
  if (!file || !header)
    return false;
  const auto bytes = EncodeFileHeader(*header);
  file->writer.Write(bytes.data(), bytes.size());
  return !file->writer.Failed();
}

bool Flv_ReadTag(FlvReadFile* file, FlvTag** tag, bool withData) {
  if (tag)
    *tag = nullptr;
  if (!file || !tag)
    return false;
  TagPtr read = file->reader.ReadTag(withData);
  if (!read)
    return false;
  *tag = read.release();
  return true;
}

bool Flv_WriteTag(FlvWriteFile* file, const FlvTag* tag) {
  if (!file || !tag || !tag->raw)
    return false;
  file->writer.Write(tag->raw, tag->rawSize);
  return !file->writer.Failed();
}

void Flv_SetTagTimestamp(FlvTag* tag, uint32_t timestamp) {
  if (tag)
    SetTagTimestamp(*tag, timestamp);
}

void Flv_FreeTag(FlvTag* tag) { TagPtr owned(tag); }

FlvMeta* FlvMetaCreateObject(void) { return new (std::nothrow) FlvMeta; }

void FlvMetaDeleteObject(FlvMeta* meta) { delete meta; }

bool FlvMetaParseFromFile(FlvMeta* meta, const char* fileName) {
  return meta && fileName && ParseMetaDataFromFile(meta->object, fileName);
}

bool FlvMetaUpdateToFile(FlvMeta* meta, const char* fileName) {
  return meta && fileName && UpdateMetaDataToFile(meta->object, fileName);
}

} // extern "C"
