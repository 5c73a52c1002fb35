#include "PlayUrl.h"

#include <QStringList>
#include <nlohmann/json.hpp>

#include "SiteAddresses.h"
#include "transport/clCryptUtils.h"

namespace bl {

namespace {

using nlohmann::json;

// Reads quality and durl of one level of a document; none on anything
// missing or of the wrong type, without throwing.
std::optional<TPlayUrlAnswer> ReadAddresses(const json& ALevel) {
    if (!ALevel.is_object()) return std::nullopt;
    const auto quality = ALevel.find("quality");
    const auto durl = ALevel.find("durl");
    if (quality == ALevel.end() || !quality->is_number()) return std::nullopt;
    if (durl == ALevel.end() || !durl->is_array()) return std::nullopt;

    const size_t count = durl->size();
    QStringList ordered(static_cast<qsizetype>(count));
    std::vector<bool> taken(count, false);
    for (const json& element : *durl) {
        if (!element.is_object()) return std::nullopt;
        const auto order = element.find("order");
        const auto url = element.find("url");
        if (order == element.end() || !order->is_number_integer()) return std::nullopt;
        if (url == element.end() || !url->is_string()) return std::nullopt;
        // An order outside 1..n or a repeated one leaves a hole: the row fails
        // rather than naming segments in a wrong order.
        const auto position = order->get<int64_t>();
        if (position < 1 || position > static_cast<int64_t>(count)) return std::nullopt;
        const auto slot = static_cast<size_t>(position - 1);
        if (taken[slot]) return std::nullopt;
        taken[slot] = true;
        ordered[static_cast<qsizetype>(slot)] = QString::fromStdString(url->get<std::string>());
    }

    TPlayUrlAnswer answer;
    answer.Addresses = ordered.join(QLatin1Char('|'));
    answer.Quality = QualityText(quality->is_number_integer() ? QString::number(quality->get<int64_t>())
                                                              : QString::number(quality->get<double>()));
    answer.Count = static_cast<int>(count);
    if (answer.Addresses.isEmpty()) return std::nullopt;
    return answer;
}

std::optional<json> ParseObject(const std::string& ABody) {
    json document = json::parse(ABody, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;
    return document;
}

}  // namespace

QString PlayUrlQuery(const QString& ACid, const QString& AQuality) {
    return QStringLiteral("appkey=") + QLatin1String(vidsite::kAppKey) + QStringLiteral("&cid=") + ACid +
           QStringLiteral("&otype=json&qn=") + AQuality;
}

QString PlayUrlSignature(const QString& AQuery) {
    const QByteArray text = AQuery.toUtf8() + QByteArray(vidsite::kAppSecret);
    const std::string digest = cl::Md5Hex(std::string_view(text.constData(), static_cast<size_t>(text.size())));
    if (digest.empty()) return QString();
    return QString::fromLatin1(digest.data(), static_cast<qsizetype>(digest.size()));
}

QString SignedPlayUrl(const QString& ACid, const QString& AQuality) {
    const QString query = PlayUrlQuery(ACid, AQuality);
    return QStringLiteral("https://") + QLatin1String(vidsite::kInterfaceHost) + QLatin1String(vidsite::kPlayUrlPath) +
           QLatin1Char('?') + query + QStringLiteral("&sign=") + PlayUrlSignature(query);
}

QString PgcPlayUrl(const QString& ACid, const QString& AQuality) {
    return QStringLiteral("https://") + QLatin1String(vidsite::kApiHost) + QLatin1String(vidsite::kPgcPlayUrlPath) +
           QStringLiteral("?otype=json&cid=") + ACid + QStringLiteral("&qn=") + AQuality;
}

QString QualityText(const QString& ACode) {
    if (ACode == QLatin1String("80")) return QStringLiteral("1080P");
    if (ACode == QLatin1String("64")) return QStringLiteral("720P");
    if (ACode == QLatin1String("32")) return QStringLiteral("480P");
    if (ACode == QLatin1String("16")) return QStringLiteral("360P");
    return QString();
}

std::optional<TPlayUrlAnswer> ParsePlayUrlJson(const std::string& ABody) {
    const auto document = ParseObject(ABody);
    if (!document) return std::nullopt;
    return ReadAddresses(*document);
}

std::optional<TPlayUrlAnswer> ParsePgcPlayUrlJson(const std::string& ABody) {
    const auto document = ParseObject(ABody);
    if (!document) return std::nullopt;
    const auto result = document->find("result");
    if (result == document->end()) return std::nullopt;
    // The members are read straight from "result": writing it out as text
    // and parsing it again would give the same object.
    return ReadAddresses(*result);
}

}  // namespace bl
