// The stand-in's own fixed values on top of the addresses the program knows:
// the media servers it names in its play-address documents.
#pragma once

#include "app/SiteAddresses.h"

namespace vidsite {

// Media servers named in the play-address documents.
inline constexpr char kMediaHosts[][32] = {"media1.vidsite.example", "media2.vidsite.example"};

}  // namespace vidsite
