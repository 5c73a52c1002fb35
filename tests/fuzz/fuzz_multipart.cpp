// Arbitrary bytes parsed as a request body, fed whole and in small pieces
// with a small read size: both runs must give the same items and data, and
// the parsed request must build a body of exactly its TotalSize.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "http/clHttpRequest.h"
#include "support/ChunkedReadStream.h"

namespace {

using namespace cl;

using TChunkedStream = cltest::TChunkedReadStream;

std::string ReadAll(TStream& AStream) {
    std::string result;
    char buf[4096];
    for (int64_t n; (n = AStream.Read(buf, sizeof(buf))) > 0;) result.append(buf, static_cast<size_t>(n));
    return result;
}

std::vector<std::string> Parse(const std::string& ABody, int64_t AChunk, int ABatch, bool AForm,
                               const std::string& ACharSet) {
    TclHttpRequest request;
    request.Header().SetCharSet(ACharSet);
    if (AForm) request.Header().SetContentType("application/x-www-form-urlencoded");
    request.SetBatchSize(ABatch);
    std::map<TclHttpRequestItem*, std::string> data;
    request.OnSaveData = [](TObject*, TclHttpRequestItem*, std::unique_ptr<TStream>& AData) {
        AData = std::make_unique<TMemoryStream>();
    };
    request.OnDataAdded = [&](TObject*, TclHttpRequestItem* AItem, TStream* AData) { data[AItem] = ReadAll(*AData); };
    TChunkedStream input(ABody, AChunk);
    request.SetRequestStream(input);

    std::vector<std::string> result{request.Header().ContentType(), request.Header().Boundary()};
    for (int i = 0; i < request.Items().Count(); ++i) {
        TclHttpRequestItem* item = request.Items().Items(i);
        std::string text;
        if (auto* t = dynamic_cast<TclTextRequestItem*>(item)) text = "text|" + t->TextData();
        if (auto* f = dynamic_cast<TclFormFieldRequestItem*>(item))
            text = "field|" + f->FieldName() + "|" + f->FieldValue();
        if (auto* s = dynamic_cast<TclSubmitFileRequestItem*>(item)) {
            text = "file|" + s->FieldName() + "|" + s->FileName() + "|" + s->ContentType();
        }
        result.push_back(text + "|" + data[item]);
    }

    // Sent again, file items take their parsed bytes; nothing is read from disk.
    request.OnLoadData = [&](TObject*, TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData) {
        AData = std::make_unique<TMemoryStream>();
        AData->WriteBuffer(data[AItem]);
    };
    const int64_t total = request.TotalSize();
    if (total != static_cast<int64_t>(ReadAll(*request.RequestStream()).size())) std::abort();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2) return 0;
    const int64_t chunk = 1 + AData[0] % 13;
    const int batch = 1 + AData[1] % 97;
    const bool form = (AData[0] & 0x80) != 0;
    const std::string charSet = (AData[1] & 0x80) != 0 ? "utf-8" : "";
    const std::string body(reinterpret_cast<const char*>(AData + 2), ASize - 2);
    if (Parse(body, chunk, batch, form, charSet) != Parse(body, 1 << 20, 8192, form, charSet)) std::abort();
    return 0;
}
