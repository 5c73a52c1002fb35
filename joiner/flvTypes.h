/* The FLV header and tag as plain C structures: what the library's interface
 * hands out and what its modules read and write. */
#ifndef FLVTYPES_H
#define FLVTYPES_H

#include <stdbool.h>
#include <stdint.h>

enum { FLV_TAG_AUDIO = 8, FLV_TAG_VIDEO = 9, FLV_TAG_SCRIPT = 18 };

typedef struct FlvHeader {
    uint8_t version;
    bool hasAudio;       /* flags bit 2 */
    bool hasVideo;       /* flags bit 0 */
    uint32_t dataOffset; /* where the first PreviousTagSize field starts */
} FlvHeader;

typedef struct FlvTag {
    uint8_t type;
    uint32_t dataSize;
    uint32_t timestamp; /* 24-bit Timestamp with TimestampExtended as bits 24-31 */
    uint32_t streamId;
    /* Audio tags: the first data byte. */
    uint8_t soundFormat, soundRate, soundSize, soundType;
    /* Video tags: the first data byte, and the picture size for the codecs
       whose frame header carries it (0 otherwise). */
    uint8_t frameType, codecId;
    uint32_t width, height;
    /* The whole tag as stored: 11-byte header, data and the trailing
       PreviousTagSize (dataSize + 15 bytes). NULL when read without data. */
    uint8_t* raw;
    uint32_t rawSize;
} FlvTag;

#endif
