// The play-address service of the video site: the signed address of a normal
// video's page entry, the unsigned address of a series episode, and the
// reading of the JSON answers into what a row of the video list shows (the segment
// addresses in playing order, the granted quality, the segment count).
// No window code here.
#pragma once

#include <QString>
#include <optional>
#include <string>

namespace bl {

// "appkey=...&cid=...&otype=json&qn=...": the text that is signed, and sent
// as it stands.
QString PlayUrlQuery(const QString& ACid, const QString& AQuality);
// 32 lower-case hexadecimal digits: MD5 over the UTF-8 bytes of AQuery
// followed by the application secret.
QString PlayUrlSignature(const QString& AQuery);
// https://<interface host>/v2/playurl?<query>&sign=<signature>
QString SignedPlayUrl(const QString& ACid, const QString& AQuality);
// https://<API host>/pgc/player/web/playurl?otype=json&cid=...&qn=...
QString PgcPlayUrl(const QString& ACid, const QString& AQuality);

// "1080P", "720P", "480P", "360P" for the four codes; empty for any other.
QString QualityText(const QString& ACode);

// What an answer gives a row of the video list.
struct TPlayUrlAnswer {
    QString Addresses;  // in playing order, joined with "|"
    QString Quality;    // the granted quality's text, or empty
    int Count = 0;      // number of segments
};

// A normal video's document: quality and durl at the top level. None when
// the text is not a JSON object, lacks a member, has a durl element without
// order or url, an order outside 1..n or one order twice, or no address.
std::optional<TPlayUrlAnswer> ParsePlayUrlJson(const std::string& ABody);
// A series episode's document: the same members inside "result".
std::optional<TPlayUrlAnswer> ParsePgcPlayUrlJson(const std::string& ABody);

}  // namespace bl
