// The two play-address services: the signed one on the interface host
// (its MD5 signature over the query text and the secret is checked) and
// the series one on the API host, whose answer wraps the same members in
// "result". Both name the media segments in shuffled order with their
// order numbers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "site/SiteCatalogue.h"

namespace vidsite {

// MD5 of the bytes, as 32 lower-case hexadecimal digits.
std::string Md5Hex(const std::string& AData);

// The signature the program sends for a query text (everything before
// "&sign=").
std::string SignatureOf(const std::string& AQueryWithoutSign);

// True when the raw query (as sent, without "?") ends in "&sign=" and the
// MD5 of the text before it followed by the secret, and the application
// key inside it is the site's.
bool SignedQueryValid(const std::string& ARawQuery);

// The quality the site grants: the one asked for, else the best below it,
// else the lowest the media has.
int GrantedQuality(const std::vector<int>& AOffered, int ARequested);

// The segment of a video at a quality: its address on a media host.
std::string SegmentAddress(int64_t ACid, int AQuality, int AIndex);

// Size in bytes of segment AIndex (1-based) of a video at a quality.
using TSegmentSizer = std::function<int64_t(const TSitePart&, int AQuality, int AIndex)>;

std::string PlayUrlDocument(const TSitePart& APart, int ARequested, const TSegmentSizer& ASizer);
std::string PgcPlayUrlDocument(const TSitePart& APart, int ARequested, const TSegmentSizer& ASizer);
std::string SignatureErrorDocument();
std::string NoSuchVideoDocument();

}  // namespace vidsite
