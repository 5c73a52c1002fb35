// Helpers shared by the files of the request object (clHttpRequest*.cpp)
// and by nothing else: byte streams of texts, the update bracket and the
// parse flag.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/clHttpRequest.h"
#include "rtl/clStreams.h"

namespace cl::httprequest {

inline constexpr const char* kMultipartFormData = "multipart/form-data";
inline constexpr const char* kCrLf = "\r\n";

// A memory stream holding the bytes, at position 0.
std::unique_ptr<TStream> BytesStream(const std::vector<uint8_t>& ABytes);

// Delimiters and separators travel in the ANSI code page, so a boundary
// taken from a parsed body comes back byte for byte.
std::vector<uint8_t> AnsiBytes(const std::string& AText);

// Everything from the stream's position to its end.
std::vector<uint8_t> ReadAll(TStream& AStream);

// Runs AAction between the request's BeginUpdate and EndUpdate, closing the
// bracket also when it fails.
template <class F>
void Updating(TclHttpRequest& ARequest, F&& AAction) {
    ARequest.BeginUpdate();
    try {
        AAction();
    } catch (...) {
        ARequest.EndUpdate();
        throw;
    }
    ARequest.EndUpdate();
}

}  // namespace cl::httprequest

namespace cl {

// Sets the parse flag for a scope and puts the previous value back.
class TclHttpRequest::TParseFlag {
public:
    explicit TParseFlag(TclHttpRequest& ARequest) : FRequest(ARequest), FSaved(ARequest.FIsParse) {
        ARequest.FIsParse = true;
    }
    ~TParseFlag() { FRequest.FIsParse = FSaved; }
    TParseFlag(const TParseFlag&) = delete;
    TParseFlag& operator=(const TParseFlag&) = delete;

private:
    TclHttpRequest& FRequest;
    bool FSaved;
};

}  // namespace cl
