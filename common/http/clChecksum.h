// Running checksums of byte streams: the CRC-32 of gzip members and the
// Adler-32 of zlib-wrapped DEFLATE data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtl/clEvents.h"

namespace cl {

class TclCheckSum : public TObject {
public:
    virtual void Reset() = 0;
    virtual void Update(uint8_t AValue) = 0;
    virtual void Update(const void* ABuffer, size_t ALen) = 0;
    uint32_t Value() const { return FValue; }

protected:
    uint32_t FValue = 0;
};

// ISO 3309 CRC-32 (reflected polynomial 0xEDB88320); 0 after Reset.
class TclCrc32 : public TclCheckSum {
public:
    TclCrc32() { Reset(); }
    void Reset() override { FValue = 0; }
    void Update(uint8_t AValue) override { Update(&AValue, 1); }
    void Update(const void* ABuffer, size_t ALen) override;
};

// RFC 1950 Adler-32; 1 after Reset.
class TclAdler32 : public TclCheckSum {
public:
    TclAdler32() { Reset(); }
    void Reset() override { FValue = 1; }
    void Update(uint8_t AValue) override { Update(&AValue, 1); }
    void Update(const void* ABuffer, size_t ALen) override;
};

}  // namespace cl
