// The stage size for a video's subtitles: the picture size of an FLV file.
#pragma once

#include <string>

#include "Convert.h"

namespace subtitles {

// Width and height from the file's onMetaData, or from its first video tag
// when it has none; 1920x1080 when the file is missing, not an FLV, or
// says nothing of its size.
Stage StageOfVideo(const std::string& flvPath);

}  // namespace subtitles
