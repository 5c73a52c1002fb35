// The markup of the site's video pages: a head with scripts and an
// embedded state object that carries the title first, then the pages list
// or the episode list, as the site's own pages do.
#pragma once

#include <string>

#include "site/SiteCatalogue.h"

namespace vidsite {

// A JSON string literal's content: quotes, backslashes and control
// characters escaped, "/" written as "\/", and every character beyond ASCII
// as \uXXXX (surrogate pairs included) when AEscapeNonAscii is set.
std::string JsonEscape(const std::string& AText, bool AEscapeNonAscii);

std::string VideoPage(const TSiteVideo& AVideo);
std::string NotFoundPage();

}  // namespace vidsite
