// Arbitrary bytes as a play-address answer, read as a normal video's and
// as a series episode's document. An answer that is read has at least one
// segment, a quality text of the table or none, and addresses in as many
// fields as it has segments (when no address holds a "|" itself); the same
// document inside "result" reads the same as a series answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <QStringList>
#include <nlohmann/json.hpp>

#include "PlayUrl.h"

namespace {

void Check(const bl::TPlayUrlAnswer& AAnswer, const std::string& ABody) {
    if (AAnswer.Count < 1 || AAnswer.Addresses.isEmpty()) std::abort();
    static const QStringList kQualities{QString(), "1080P", "720P", "480P", "360P"};
    if (!kQualities.contains(AAnswer.Quality)) std::abort();
    if (ABody.find('|') == std::string::npos && AAnswer.Addresses.split(QLatin1Char('|')).size() != AAnswer.Count) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string body(reinterpret_cast<const char*>(AData), ASize);
    const auto normal = bl::ParsePlayUrlJson(body);
    if (normal) Check(*normal, body);
    const auto series = bl::ParsePgcPlayUrlJson(body);
    if (series) Check(*series, body);

    // A body that is not one JSON text on its own may become one inside
    // the wrapper ("{...}, \"a\": 1").
    if (!nlohmann::json::accept(body)) return 0;
    const auto wrapped = bl::ParsePgcPlayUrlJson("{\"result\":" + body + "}");
    if (normal.has_value() != wrapped.has_value()) std::abort();
    if (normal && (normal->Addresses != wrapped->Addresses || normal->Quality != wrapped->Quality ||
                   normal->Count != wrapped->Count)) {
        std::abort();
    }
    return 0;
}
