// Which codecs of an FLV file an MP4 file carries as they are, and the
// names under which a refusal tells the others.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace remux {

// H.264 video; AAC or MP3 audio.
bool Mp4Carries(AVCodecID codec);

// The codec's name as an FLV file declares it ("Sorenson H.263", "VP6",
// "Nellymoser", ...), else FFmpeg's own name for it.
std::string CodecName(AVCodecID codec);

}  // namespace remux
