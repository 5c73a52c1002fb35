#include "flvAmf.h"

#include <bit>
#include <cstring>

namespace cl::flv {
namespace {

enum : uint8_t {
    kAmfNumber = 0,
    kAmfBoolean = 1,
    kAmfString = 2,
    kAmfObject = 3,
    kAmfMovieClip = 4,
    kAmfNull = 5,
    kAmfUndefined = 6,
    kAmfReference = 7,
    kAmfEcmaArray = 8,
    kAmfObjectEnd = 9,
    kAmfStrictArray = 10,
    kAmfDate = 11,
    kAmfLongString = 12,
    kAmfUnsupported = 13,
    kAmfXmlDocument = 15,
    kAmfTypedObject = 16,
};

// Nesting deeper than this is treated as malformed rather than recursed into.
constexpr int kMaxDepth = 64;

const char kOnMetaData[] = "onMetaData";

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    PutU16(out, uint16_t(v >> 16));
    PutU16(out, uint16_t(v));
}

void PutShortText(std::vector<uint8_t>& out, const std::string& s) {
    size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    PutU16(out, uint16_t(n));
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

void PutValue(std::vector<uint8_t>& out, const MetaValue& v) {
    switch (v.kind) {
        case MetaValue::Kind::Number: {
            out.push_back(kAmfNumber);
            uint64_t bits = std::bit_cast<uint64_t>(v.number);
            PutU32(out, uint32_t(bits >> 32));
            PutU32(out, uint32_t(bits));
            break;
        }
        case MetaValue::Kind::Boolean:
            out.push_back(kAmfBoolean);
            out.push_back(v.boolean ? 1 : 0);
            break;
        case MetaValue::Kind::String:
            if (v.text.size() <= 0xFFFF) {
                out.push_back(kAmfString);
                PutShortText(out, v.text);
            } else {
                out.push_back(kAmfLongString);
                PutU32(out, uint32_t(v.text.size()));
                out.insert(out.end(), v.text.begin(), v.text.end());
            }
            break;
        case MetaValue::Kind::Encoded:
            out.insert(out.end(), v.encoded.begin(), v.encoded.end());
            break;
    }
}

// A bounds-checked cursor over AMF0 bytes.
class Cursor {
public:
    Cursor(const uint8_t* p, size_t n) : FPos(p), FEnd(p + n) {}
    size_t Left() const { return static_cast<size_t>(FEnd - FPos); }
    const uint8_t* Pos() const { return FPos; }
    bool Skip(size_t n) {
        if (Left() < n) return false;
        FPos += n;
        return true;
    }
    bool U8(uint8_t& v) {
        if (Left() < 1) return false;
        v = *FPos++;
        return true;
    }
    bool U16(uint32_t& v) {
        if (Left() < 2) return false;
        v = (uint32_t(FPos[0]) << 8) | FPos[1];
        FPos += 2;
        return true;
    }
    bool U32(uint32_t& v) {
        if (Left() < 4) return false;
        v = (uint32_t(FPos[0]) << 24) | (uint32_t(FPos[1]) << 16) | (uint32_t(FPos[2]) << 8) | FPos[3];
        FPos += 4;
        return true;
    }
    bool Text16(std::string& s) {
        uint32_t n;
        if (!U16(n) || Left() < n) return false;
        s.assign(reinterpret_cast<const char*>(FPos), n);
        FPos += n;
        return true;
    }
    // At an object end: an empty name followed by the end marker.
    bool AtObjectEnd() const { return Left() >= 3 && FPos[0] == 0 && FPos[1] == 0 && FPos[2] == kAmfObjectEnd; }

private:
    const uint8_t* FPos;
    const uint8_t* FEnd;
};

bool SkipValue(Cursor& c, int depth);

// Properties (name, value) up to and including the object end marker.
bool SkipProperties(Cursor& c, int depth) {
    while (!c.AtObjectEnd()) {
        uint32_t n;
        if (!c.U16(n) || !c.Skip(n) || !SkipValue(c, depth)) return false;
    }
    return c.Skip(3);
}

bool SkipValue(Cursor& c, int depth) {
    if (depth > kMaxDepth) return false;
    uint8_t marker;
    uint32_t n;
    if (!c.U8(marker)) return false;
    switch (marker) {
        case kAmfNumber:
            return c.Skip(8);
        case kAmfBoolean:
            return c.Skip(1);
        case kAmfString:
            return c.U16(n) && c.Skip(n);
        case kAmfObject:
            return SkipProperties(c, depth + 1);
        case kAmfMovieClip:
        case kAmfNull:
        case kAmfUndefined:
        case kAmfUnsupported:
            return true;
        case kAmfReference:
            return c.Skip(2);
        case kAmfEcmaArray:
            return c.Skip(4) && SkipProperties(c, depth + 1);
        case kAmfStrictArray:
            if (!c.U32(n)) return false;
            for (uint32_t i = 0; i < n; ++i)
                if (!SkipValue(c, depth + 1)) return false;
            return true;
        case kAmfDate:
            return c.Skip(10);
        case kAmfLongString:
        case kAmfXmlDocument:
            return c.U32(n) && c.Skip(n);
        case kAmfTypedObject:
            return c.U16(n) && c.Skip(n) && SkipProperties(c, depth + 1);
        default:
            return false;
    }
}

bool ReadValue(Cursor& c, const std::string& name, MetaObject& meta) {
    const uint8_t* start = c.Pos();
    uint8_t marker;
    if (!c.U8(marker)) return false;
    switch (marker) {
        case kAmfNumber: {
            uint32_t hi, lo;
            if (!c.U32(hi) || !c.U32(lo)) return false;
            meta.SetNumber(name, std::bit_cast<double>((uint64_t(hi) << 32) | lo));
            return true;
        }
        case kAmfBoolean: {
            uint8_t b;
            if (!c.U8(b)) return false;
            meta.SetBoolean(name, b != 0);
            return true;
        }
        case kAmfString: {
            std::string s;
            if (!c.Text16(s)) return false;
            meta.SetString(name, s);
            return true;
        }
        default: {
            Cursor whole(start, c.Left() + 1);
            if (!SkipValue(whole, 0)) return false;
            meta.SetEncoded(name, std::vector<uint8_t>(start, whole.Pos()));
            c.Skip(static_cast<size_t>(whole.Pos() - start) - 1);
            return true;
        }
    }
}

}  // namespace

MetaValue& MetaObject::Slot(const std::string& name) {
    for (auto& [key, value] : FProperties)
        if (key == name) return value;
    FProperties.emplace_back(name, MetaValue{});
    return FProperties.back().second;
}

const MetaValue* MetaObject::Find(const std::string& name) const {
    for (const auto& [key, value] : FProperties)
        if (key == name) return &value;
    return nullptr;
}

void MetaObject::SetNumber(const std::string& name, double value) {
    MetaValue& v = Slot(name);
    v = MetaValue{};
    v.kind = MetaValue::Kind::Number;
    v.number = value;
}

void MetaObject::SetBoolean(const std::string& name, bool value) {
    MetaValue& v = Slot(name);
    v = MetaValue{};
    v.kind = MetaValue::Kind::Boolean;
    v.boolean = value;
}

void MetaObject::SetString(const std::string& name, const std::string& value) {
    MetaValue& v = Slot(name);
    v = MetaValue{};
    v.kind = MetaValue::Kind::String;
    v.text = value;
}

void MetaObject::SetEncoded(const std::string& name, std::vector<uint8_t> bytes) {
    MetaValue& v = Slot(name);
    v = MetaValue{};
    v.kind = MetaValue::Kind::Encoded;
    v.encoded = std::move(bytes);
}

std::vector<uint8_t> EncodeOnMetaData(const MetaObject& meta) {
    std::vector<uint8_t> out;
    out.push_back(kAmfString);
    PutShortText(out, kOnMetaData);
    out.push_back(kAmfEcmaArray);
    PutU32(out, uint32_t(meta.Properties().size()));
    for (const auto& [name, value] : meta.Properties()) {
        PutShortText(out, name);
        PutValue(out, value);
    }
    out.push_back(0);
    out.push_back(0);
    out.push_back(kAmfObjectEnd);
    return out;
}

bool DecodeOnMetaData(const uint8_t* data, size_t size, MetaObject& meta) {
    Cursor c(data, size);
    uint8_t marker;
    std::string name;
    if (!c.U8(marker) || marker != kAmfString || !c.Text16(name) || name != kOnMetaData) return false;
    if (!c.U8(marker)) return true;  // a call without arguments: no values
    if (marker == kAmfEcmaArray) {
        if (!c.Skip(4))  // the count is advisory; the end marker ends the array
            return true;
    } else if (marker != kAmfObject) {
        return true;
    }
    while (c.Left() > 0 && !c.AtObjectEnd()) {
        std::string key;
        if (!c.Text16(key) || !ReadValue(c, key, meta)) break;
    }
    return true;
}

}  // namespace cl::flv
