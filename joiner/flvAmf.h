// The AMF0 form of an onMetaData script tag: the metadata object, its
// encoding as the data of a script tag, and decoding it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cl::flv {

struct MetaValue {
    enum class Kind { Number, Boolean, String, Encoded };
    Kind kind = Kind::Number;
    double number = 0;
    bool boolean = false;
    std::string text;
    // Kind::Encoded: a value of any other AMF0 type, kept as its bytes
    // (marker included) so that it is written back unchanged.
    std::vector<uint8_t> encoded;
};

// Named values in the order in which they were first set.
class MetaObject {
public:
    void SetNumber(const std::string& name, double value);
    void SetBoolean(const std::string& name, bool value);
    void SetString(const std::string& name, const std::string& value);
    void SetEncoded(const std::string& name, std::vector<uint8_t> bytes);

    const std::vector<std::pair<std::string, MetaValue>>& Properties() const { return FProperties; }
    const MetaValue* Find(const std::string& name) const;
    bool Empty() const { return FProperties.empty(); }

private:
    MetaValue& Slot(const std::string& name);

    std::vector<std::pair<std::string, MetaValue>> FProperties;
};

// The data of a script tag: the string "onMetaData", then an ECMA array of
// the properties ending with 00 00 09.
std::vector<uint8_t> EncodeOnMetaData(const MetaObject& meta);

// Reads the properties of an onMetaData script tag's data into `meta`
// (ECMA array or object). False when the data is not an onMetaData call;
// properties read before a malformed one are kept.
bool DecodeOnMetaData(const uint8_t* data, size_t size, MetaObject& meta);

}  // namespace cl::flv
