// The DEFLATE decoder (RFC 1951), raw or inside the zlib wrapper of RFC 1950.
// Input is handed over with SetInput and decoded as far as it goes; output
// comes out in pieces no larger than the caller's buffer, and decoding
// resumes when more input is set.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rtl/clEvents.h"

namespace cl {

class TclInflater : public TObject {
public:
    // With the zlib wrapper.
    TclInflater();
    // ANoHeader True: raw DEFLATE; False: with the zlib wrapper.
    explicit TclInflater(bool ANoHeader);
    ~TclInflater() override;
    TclInflater(const TclInflater&) = delete;
    TclInflater& operator=(const TclInflater&) = delete;

    // Starts a new stream; unconsumed input is dropped.
    void Reset();
    // The bytes are read in place: they must stay valid until consumed
    // (RemainingInput is 0). Raises -101 while older input is unconsumed.
    void SetInput(const uint8_t* ABuffer, int AOffset, int ALen);
    void SetInput(const std::vector<uint8_t>& ABuffer) {
        SetInput(ABuffer.data(), 0, static_cast<int>(ABuffer.size()));
    }
    // Only while IsNeedingDictionary; its Adler-32 must match the header's.
    void SetDictionary(const uint8_t* ABuffer, int AOffset, int ALen);
    // Returns the number of bytes produced.
    int Inflate(uint8_t* ABuffer, int AOffset, int ALen);
    int Inflate(std::vector<uint8_t>& ABuffer) { return Inflate(ABuffer.data(), 0, static_cast<int>(ABuffer.size())); }

    // Nothing more comes out until further input is set.
    bool IsNeedingInput() const;
    bool IsNeedingDictionary() const { return FNeedDictionary; }
    // The final block has ended and all its output has been handed out.
    bool IsFinished() const { return FFinished; }
    // Adler-32 of the output so far (while a dictionary is awaited: the
    // dictionary's, from the header).
    uint32_t Adler() const;
    int64_t TotalOut() const;
    int64_t TotalIn() const;
    int RemainingInput() const;
    bool NoHeader() const { return FNoHeader; }

private:
    struct Stream;
    [[noreturn]] void Fail(int ACode);

    std::unique_ptr<Stream> FStream;
    bool FNoHeader;
    bool FFinished = false;
    bool FNeedDictionary = false;
    bool FOutputFull = false;  // the last call filled the caller's buffer
    int FFailCode = 0;         // a failed stream keeps failing with its code
    uint32_t FRawAdler = 1;
};

}  // namespace cl
