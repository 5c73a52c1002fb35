// Arbitrary bytes as the data of an onMetaData script tag: whatever the
// reader takes from them, writing it and reading that back must give the
// same properties, and writing those again the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "flvAmf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    cl::flv::MetaObject meta;
    cl::flv::DecodeOnMetaData(AData, ASize, meta);
    const std::vector<uint8_t> written = cl::flv::EncodeOnMetaData(meta);
    cl::flv::MetaObject again;
    if (!cl::flv::DecodeOnMetaData(written.data(), written.size(), again)) std::abort();
    if (again.Properties().size() != meta.Properties().size()) std::abort();
    if (cl::flv::EncodeOnMetaData(again) != written) std::abort();
    return 0;
}
