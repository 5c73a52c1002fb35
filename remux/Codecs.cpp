#include "Codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace remux {
namespace {

struct NamedCodec {
    AVCodecID codec;
    const char* name;
};

// The codecs an FLV file can declare.
constexpr NamedCodec kFlvCodecs[] = {
    {AV_CODEC_ID_FLV1, "Sorenson H.263"},
    {AV_CODEC_ID_FLASHSV, "screen video"},
    {AV_CODEC_ID_FLASHSV2, "screen video 2"},
    {AV_CODEC_ID_VP6F, "VP6"},
    {AV_CODEC_ID_VP6A, "VP6 with alpha"},
    {AV_CODEC_ID_H264, "H.264"},
    {AV_CODEC_ID_ADPCM_SWF, "ADPCM"},
    {AV_CODEC_ID_MP3, "MP3"},
    {AV_CODEC_ID_PCM_S16LE, "linear PCM"},
    {AV_CODEC_ID_PCM_S16BE, "linear PCM"},
    {AV_CODEC_ID_PCM_U8, "linear PCM"},
    {AV_CODEC_ID_NELLYMOSER, "Nellymoser"},
    {AV_CODEC_ID_PCM_ALAW, "G.711 A-law"},
    {AV_CODEC_ID_PCM_MULAW, "G.711 mu-law"},
    {AV_CODEC_ID_AAC, "AAC"},
    {AV_CODEC_ID_SPEEX, "Speex"},
};

}  // namespace

bool Mp4Carries(AVCodecID codec) {
    return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_MP3;
}

std::string CodecName(AVCodecID codec) {
    for (const NamedCodec& named : kFlvCodecs)
        if (named.codec == codec) return named.name;
    return avcodec_get_name(codec);
}

}  // namespace remux
