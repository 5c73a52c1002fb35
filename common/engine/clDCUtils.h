// Local files of download items: the stream that writes a file of a known
// size at any position from several threads (each write is one positioned
// system call, so nothing is copied, mapped or buffered per range), and the
// rules that give an item its local file name from a folder, an address or
// a content disposition.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rtl/clBufferPool.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

// A file opened for reading and writing and extended to its final size at
// once (the disk space is reserved where the file system can, so a full
// disk fails here and not in the middle of a range). The file is closed
// when the stream is freed.
//
// Writes are gathered per run of contiguous positions (one run per range
// that is being written, up to kMaxRuns) and go to the file in large
// pieces that end on a block boundary: small chunks at odd offsets would
// each make the file system zero a fresh block's rest first. Reads, size
// changes and Flush write what is pending. A failed write raises
// EWriteError with the system's reason, and so does every write and flush
// after it: bytes reported as written may be lost, so the file is not to
// be trusted any more. Callers serialise access (the download item's lock).
class TclFileMappingStream : public TStream {
public:
    static constexpr int kMaxRuns = 10;
    static constexpr int64_t kRunCapacity = 128 * 1024;
    static constexpr int64_t kBlockSize = 4096;

    // ACreate: create or truncate the file; otherwise it must exist.
    // Raises EFCreateError / EFOpenError, and EWriteError when the size
    // cannot be reserved.
    TclFileMappingStream(const std::string& AFileName, int64_t ASize, bool ACreate);
    // Writes what is pending; a failure there is lost, so callers that must
    // know call Flush first.
    ~TclFileMappingStream() override;
    TclFileMappingStream(const TclFileMappingStream&) = delete;
    TclFileMappingStream& operator=(const TclFileMappingStream&) = delete;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t GetSize() override { return FSize; }
    // Reserves the new size (a smaller one truncates).
    void SetSize(int64_t ANewSize) override;
    // Writes every pending run to the file.
    void Flush();
    // How far the bytes from AStart on (up to AEnd) reached the file: the
    // first of those positions still held back, or AEnd. After a failure
    // the bytes held back stay so, and this tells which of the bytes
    // handed to Write were lost.
    int64_t WrittenUpTo(int64_t AStart, int64_t AEnd) const;

    const std::string& FileName() const { return FFileName; }

private:
    // Bytes waiting for the file: Used bytes for the positions from Start.
    struct TRun {
        int64_t Start = 0;
        int64_t Used = 0;
        uint64_t LastUse = 0;
        TclPooledBuffer Data;
    };

    TRun& RunFor(int64_t APosition);
    // Writes the run up to its last whole block (all of it with AAll) and
    // keeps the rest at its front.
    void FlushRun(TRun& ARun, bool AAll);
    void WriteAt(const uint8_t* AData, int64_t ACount, int64_t APosition);
    void CheckFailed() const;

    std::string FFileName;
    int FHandle = -1;
    int64_t FSize = 0;
    int64_t FPosition = 0;
    TRun FRuns[kMaxRuns];
    uint64_t FUseCounter = 0;
    int FFailedErrno = 0;
};

// Extends (or truncates) AHandle's file to ASize, reserving the blocks when
// the file system supports it. Raises EWriteError with the system's reason.
void ReserveFileSize(int AHandle, int64_t ASize, const std::string& AFileName);

// AFolder with a trailing "/" added when missing; an empty folder stays empty.
std::string IncludeTrailingPathDelimiter(const std::string& AFolder);
// The text after the last "/".
std::string ExtractFileName(const std::string& APath);
// The text up to and including the last "/" (empty when there is none).
std::string ExtractFilePath(const std::string& APath);

// The local file of a list entry: the folder (with its trailing "/") followed
// by the file-name part of ALocalFile.
std::string GetLocalFileByFolder(const std::string& ALocalFolder, const std::string& ALocalFile);

// The "filename" parameter of a Content-Disposition value, reduced to a safe
// bare name: only its last path component ("/" or "\" separated), and empty
// for "." and "..", so a server cannot point the file outside the folder.
std::string GetContentDispositionFileName(const std::string& AContentDisposition);

// The local file an address gives in AFolder: the folder followed by the
// address's last path segment; empty when the address has a query string or
// a fragment, or when the segment is empty, "." or "..".
std::string GetLocalFileByUrl(const std::string& AUrl, const std::string& AFolder);

// Creates every missing folder of APath's folder part. Raises EFCreateError
// with the system's reason.
void ForceFileFolders(const std::string& AFileName);

bool FileExists(const std::string& AFileName);
// -1 when the file cannot be opened for reading.
int64_t GetReadableFileSize(const std::string& AFileName);
bool DeleteFile(const std::string& AFileName);

// Sets the file's access and modification times to ALocalTime (a local day
// number). False when the file cannot be opened for writing.
bool SetFileTimes(const std::string& AFileName, double ALocalTime);

// Decodes the gzip file ASource into ADest (created or truncated). Raises
// EclZLibError on a malformed or cut-off body, the stream errors on file
// failures.
void GunzipFile(const std::string& ASource, const std::string& ADest);

// Stored property values: name=value lines, one per property, the value
// with backslashes and line breaks escaped.
std::string EscapeStoredValue(const std::string& AValue);
std::string UnescapeStoredValue(const std::string& AValue);
// The value stored under AName, or AFallback when missing (or, for
// numbers, malformed).
int64_t ReadStoredNumber(const TStringList& AValues, const std::string& AName, int64_t AFallback);
std::string ReadStoredText(const TStringList& AValues, const std::string& AName, const std::string& AFallback);

}  // namespace cl
