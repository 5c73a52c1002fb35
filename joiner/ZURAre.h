/* ZURAre: the FLV library of the joining tool. Reads and writes FLV files tag
 * by tag and computes and rewrites their onMetaData. Plain C interface so that
 * the tool and the library can be shipped as two separate files. */
#ifndef ZURARE_H
#define ZURARE_H

#include <stdbool.h>
#include <stdint.h>

#include "flvTypes.h"

#if defined(ZURARE_BUILDING)
#define ZURARE_API __attribute__((visibility("default")))
#else
#define ZURARE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlvReadFile FlvReadFile;   /* a file opened for reading */
typedef struct FlvWriteFile FlvWriteFile; /* a file opened for writing */
typedef struct FlvMeta FlvMeta;           /* a set of named metadata values */

/* Creates (or truncates) a file for writing; NULL on failure. */
ZURARE_API FlvWriteFile* CreateFileWriteAble(const char* fileName);
/* Flushes and closes. Returns false when any byte written since the file was
   created did not reach it. Accepts NULL. */
ZURARE_API bool DeleteFileWritable(FlvWriteFile* file);

/* Writes a closed file's data and its folder's entry out to the disk, so
   that the file survives a power loss; false when they could not be. */
ZURARE_API bool Flv_SyncFile(const char* fileName);

/* Opens an existing file (not a folder) for reading; NULL on failure. */
ZURARE_API FlvReadFile* CreateFileReadAble(const char* fileName);
ZURARE_API void DeleteFileReadAble(FlvReadFile* file);
/* True once reading stopped on an error of the file rather than its end. */
ZURARE_API bool Flv_ReadFailed(const FlvReadFile* file);

/* Reads the file header; false when it is missing or not an FLV header. */
ZURARE_API bool Flv_ReadHeader(FlvReadFile* file, FlvHeader* header);
/* Writes a 9-byte header from the version and the two flags, then
   PreviousTagSize0. */
ZURARE_API bool Flv_WriteHeader(FlvWriteFile* file, const FlvHeader* header);

/* Reads the next tag into *tag (release it with Flv_FreeTag). Returns false
   at the end of the file or when the tag cannot be read completely; that
   partial tag is dropped. Without data only the header fields and the media
   fields are filled and raw is NULL. */
ZURARE_API bool Flv_ReadTag(FlvReadFile* file, FlvTag** tag, bool withData);
/* Writes the raw tag unchanged; false when the tag has no raw bytes or the
   write failed. */
ZURARE_API bool Flv_WriteTag(FlvWriteFile* file, const FlvTag* tag);
/* Appends the audio and video tags of the rest of `source` to `dest`, their
   timestamps shifted by `offset` (wrapping at 32 bits), and drops the other
   tags: the bytes that reading the tags one by one with Flv_ReadTag, shifting
   them and writing the audio and video ones with Flv_WriteTag would give, in
   large pieces and without holding a tag in memory. *lastTimestamp receives
   the unshifted timestamp of the last tag read, whatever its type (0 without
   one). A last tag cut short is dropped as Flv_ReadTag drops it. Returns
   false when writing failed; a read error shows in Flv_ReadFailed. */
ZURARE_API bool Flv_AppendMediaTags(FlvReadFile* source, FlvWriteFile* dest, uint32_t offset, uint32_t* lastTimestamp);
/* Sets the timestamp, in the fields and in the raw bytes. */
ZURARE_API void Flv_SetTagTimestamp(FlvTag* tag, uint32_t timestamp);
ZURARE_API void Flv_FreeTag(FlvTag* tag);

ZURARE_API FlvMeta* FlvMetaCreateObject(void);
ZURARE_API void FlvMetaDeleteObject(FlvMeta* meta);
/* Fills the object from the file: the values of its own onMetaData when its
   first tag is a script tag, otherwise values computed from its audio and
   video tags. Returns false when the file has no readable tag or when its
   last media timestamp is below 1 ms (nothing is set then). */
ZURARE_API bool FlvMetaParseFromFile(FlvMeta* meta, const char* fileName);
/* Rewrites the file with the object as its first tag, through the temporary
   file fileName + ".$$$", which is written out to the disk before it takes
   the file's name; the folder's entry is written out after. On any failure
   before the rename the file is left unchanged and the temporary file is
   removed; false also when the folder's entry could not be written out. */
ZURARE_API bool FlvMetaUpdateToFile(FlvMeta* meta, const char* fileName);

#ifdef __cplusplus
}
#endif

#endif
