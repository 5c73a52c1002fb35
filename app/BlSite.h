// The video site's values the window uses, until the shared site header is merged.
#pragma once

namespace vidsite {
inline constexpr char kDomainLabel[] = "vidsite";
inline constexpr char kHomePage[] = "https://www.vidsite.example/";
}  // namespace vidsite
