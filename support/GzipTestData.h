// Builders of gzip and DEFLATE test data: members with any header flags,
// hand-made DEFLATE bit streams, and sample text that compresses well.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace cltest {

using Bytes = std::vector<uint8_t>;

// Raw DEFLATE (no wrapper) of AData at the given level.
inline Bytes RawDeflate(const Bytes& AData, int ALevel = 6, int AWindowBits = -15) {
    z_stream z{};
    if (deflateInit2(&z, ALevel, Z_DEFLATED, AWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    Bytes out(deflateBound(&z, static_cast<uLong>(AData.size())) + 64);
    z.next_in = const_cast<Bytef*>(AData.data());
    z.avail_in = static_cast<uInt>(AData.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline void PutLE32(Bytes& AOut, uint32_t AValue) {
    for (int i = 0; i < 4; ++i) AOut.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
}

struct GzipOptions {
    bool Extra = false;
    bool Name = false;
    bool Comment = false;
    bool HeaderCrc = false;
};

// Byte by byte: GCC 12's optimiser misreads a vector insert of a braced list
// as out of bounds.
inline void AppendBytes(Bytes& AOut, std::initializer_list<uint8_t> ABytes) {
    for (uint8_t b : ABytes) AOut.push_back(b);
}

// One gzip member around ACompressed, the raw DEFLATE form of AOriginal.
inline Bytes GzipMember(const Bytes& AOriginal, const Bytes& ACompressed, GzipOptions AOptions = {}) {
    Bytes out{0x1f, 0x8b, 8, 0, 1, 2, 3, 4, 0, 3};
    uint8_t& flags = out[3];
    flags = static_cast<uint8_t>((AOptions.HeaderCrc ? 2 : 0) | (AOptions.Extra ? 4 : 0) | (AOptions.Name ? 8 : 0) |
                                 (AOptions.Comment ? 16 : 0));
    if (AOptions.Extra) {
        AppendBytes(out, {5, 0, 'A', 'B', 1, 0, 0});  // XLEN 5 with a zero inside
    }
    if (AOptions.Name) {
        for (char c : std::string("name.txt")) out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    if (AOptions.Comment) {
        for (char c : std::string("a comment")) out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    if (AOptions.HeaderCrc) AppendBytes(out, {0xAA, 0xBB});
    out.insert(out.end(), ACompressed.begin(), ACompressed.end());
    PutLE32(out, static_cast<uint32_t>(crc32(0, AOriginal.data(), static_cast<uInt>(AOriginal.size()))));
    PutLE32(out, static_cast<uint32_t>(AOriginal.size()));
    return out;
}

inline Bytes Gzip(const Bytes& AOriginal, GzipOptions AOptions = {}) {
    return GzipMember(AOriginal, RawDeflate(AOriginal), AOptions);
}

// Text with enough repetition and variety for dynamic Huffman blocks.
inline Bytes SampleText(size_t ASize, uint32_t ASeed = 1) {
    static const char* const kWords[] = {"video ", "segment ",  "comment ", "range ",        "header ",
                                         "\r\n",   "download ", "0123 ",    "<d p=\"1,2\">", "part "};
    Bytes out;
    uint32_t x = ASeed;
    while (out.size() < ASize) {
        x = x * 1103515245u + 12345u;
        const char* w = kWords[(x >> 16) % 10];
        for (const char* c = w; *c && out.size() < ASize; ++c) out.push_back(static_cast<uint8_t>(*c));
        if ((x >> 8) % 7 == 0 && out.size() < ASize) out.push_back(static_cast<uint8_t>(x >> 24));
    }
    return out;
}

// Writes DEFLATE bit fields: plain values least significant bit first,
// Huffman codes most significant bit first.
class BitWriter {
public:
    void Bits(uint32_t AValue, int ACount) {
        FAcc |= static_cast<uint64_t>(AValue) << FCount;
        FCount += ACount;
        while (FCount >= 8) {
            FOut.push_back(static_cast<uint8_t>(FAcc));
            FAcc >>= 8;
            FCount -= 8;
        }
    }
    void Code(uint32_t ACode, int ALength) {
        uint32_t reversed = 0;
        for (int i = 0; i < ALength; ++i) reversed |= ((ACode >> i) & 1u) << (ALength - 1 - i);
        Bits(reversed, ALength);
    }
    // The fixed-table code of a literal/length symbol.
    void FixedSymbol(int ASymbol) {
        if (ASymbol < 144)
            Code(0x30 + ASymbol, 8);
        else if (ASymbol < 256)
            Code(0x190 + ASymbol - 144, 9);
        else if (ASymbol < 280)
            Code(ASymbol - 256, 7);
        else
            Code(0xC0 + ASymbol - 280, 8);
    }
    Bytes Finish() {
        if (FCount > 0) Bits(0, 8 - FCount);
        return std::move(FOut);
    }
    void Reserve(size_t ABytes) { FOut.reserve(ABytes); }

private:
    Bytes FOut;
    uint64_t FAcc = 0;
    int FCount = 0;
};

}  // namespace cltest
