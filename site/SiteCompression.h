// Compressing answer bodies the way the site sends them: gzip for pages and
// play-address documents, raw DEFLATE without any header for comment files.
#pragma once

#include <string>

namespace vidsite {

std::string GzipCompress(const std::string& AData);
std::string RawDeflate(const std::string& AData);

}  // namespace vidsite
