// zlib in its gzip and raw framings.
#include "site/SiteCompression.h"

#include <zlib.h>

#include <memory>
#include <stdexcept>

namespace vidsite {

namespace {

struct TDeflateEnd {
    void operator()(z_stream* AStream) const { deflateEnd(AStream); }
};

// windowBits 15 + 16 writes a gzip header and trailer; -15 neither.
std::string Deflate(const std::string& AData, int AWindowBits) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, AWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::unique_ptr<z_stream, TDeflateEnd> owner(&stream);
    std::string out(deflateBound(&stream, AData.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AData.data()));
    stream.avail_in = static_cast<uInt>(AData.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    out.resize(stream.total_out);
    return out;
}

}  // namespace

std::string GzipCompress(const std::string& AData) { return Deflate(AData, 15 + 16); }

std::string RawDeflate(const std::string& AData) { return Deflate(AData, -15); }

}  // namespace vidsite
