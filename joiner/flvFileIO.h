// Buffered file reading and writing in large blocks for the FLV library: one
// system call per block, not per tag, and sticky error flags so that a caller
// can tell a failed file from a finished one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct iovec;

namespace cl::flv {

// The calls that bring written files to the disk and move them into place,
// gathered so that a test can watch their order or make one of them fail.
struct DiskCalls {
    DiskCalls();                            // the system's own
    std::function<int(int fd)> syncData;    // a file's data and size
    std::function<int(int fd)> syncFolder;  // a folder's entries
    std::function<int(const char* from, const char* to)> rename;
};

// Owns one file descriptor.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : FFd(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : FFd(other.Release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle() { Close(); }

    int Get() const { return FFd; }
    bool IsOpen() const { return FFd >= 0; }
    int Release();
    bool Close();  // false when close() reported an error

private:
    int FFd = -1;
};

// Reads a file front to back, either through a buffer or, for scans that
// look at a few bytes here and there, through a window mapped into memory,
// which spares copying the bytes that are never looked at. A mapped file
// must not shrink while it is read.
class FileReader {
public:
    enum class Access { Buffered, Mapped };
    static constexpr size_t kBlockSize = 256 * 1024;
    static constexpr size_t kMapWindow = 1024 * 1024;
    // Buffered skips longer than this are done with a seek rather than by reading.
    static constexpr uint64_t kSeekThreshold = 256 * 1024;

    FileReader() = default;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() { Unmap(); }

    // Opens a regular file (or anything readable that is not a folder). A
    // file that cannot be mapped is read through the buffer.
    bool Open(const std::string& fileName, Access access = Access::Buffered);
    bool IsOpen() const { return FFile.IsOpen(); }

    // Makes bytes available and returns how many; 0 at the end of the file or
    // after an error.
    size_t Fill();
    // Makes at least `count` bytes available from the current position, fewer
    // only at the end of the file or after an error, and returns how many are
    // available. The bytes may move: pointers from Data() before the call are
    // no longer valid after it.
    size_t Ensure(size_t count);
    const uint8_t* Data() const { return (FMap ? FMap : FBuffer.data()) + FStart; }
    size_t Available() const { return FEnd - FStart; }
    void Consume(size_t count) { FStart += count; }
    // Drops the next `count` bytes of the file, buffered or not.
    void Skip(uint64_t count);

    bool Failed() const { return FFailed; }
    bool AtEnd() const { return FAtEnd; }
    // File offset of the next unconsumed byte.
    int64_t Position() const { return FFileEnd - static_cast<int64_t>(FEnd - FStart); }
    int Fd() const { return FFile.Get(); }

private:
    // Maps a window of at least `count` bytes (when the file has them) at the
    // next unconsumed byte.
    size_t FillMapped(size_t count = 0);
    void Unmap();

    FileHandle FFile;
    std::vector<uint8_t> FBuffer;
    bool FMapped = false;
    const uint8_t* FMap = nullptr;  // the mapped window, when there is one
    size_t FMapLength = 0;
    int64_t FFileSize = 0;  // mapped access: the size when opened
    size_t FStart = 0;
    size_t FEnd = 0;
    int64_t FFileEnd = 0;  // file offset just past the buffered or mapped bytes
    bool FAtEnd = false;
    bool FFailed = false;
};

// Writes a file front to back through a buffer. Where it pays off, space is
// reserved ahead of the writes in large steps (kept past the end of the file,
// trimmed on closing): the file system then allocates a step at once instead
// of reserving block by block on every write, which takes about a third of
// the cost of writing a large new file.
class FileWriter {
public:
    static constexpr size_t kBlockSize = 256 * 1024;
    static constexpr int64_t kReserveStep = 16 * 1024 * 1024;
    // No system call writes more than this, the size of the buffer: in some
    // runs on this machine, writes of 1 MiB made the second large file (the
    // metadata rewrite) several times slower to write than the first, as the
    // page cache took the memory for its larger pieces.
    static constexpr size_t kWriteChunk = 256 * 1024;

    // Creates or truncates the file.
    bool Create(const std::string& fileName);
    // Creates the file anew, never through a link planted at its name: what
    // is there (a stale file, a symbolic link) is removed first, and the file
    // is then created exclusively; false when another one took the name.
    bool CreateNew(const std::string& fileName);
    bool IsOpen() const { return FFile.IsOpen(); }

    void Write(const uint8_t* data, size_t size);
    // Writes the pieces in order after what is buffered, straight from where
    // they are: one system call for many of them. The pieces are used up (a
    // short write advances them).
    void WritePieces(struct iovec* pieces, size_t count);
    bool Flush();
    // Flushes, gives back the space reserved past the end and closes; true
    // when every byte reached the file.
    bool Close();
    // Closes as above after writing the file's data out to the disk; true only
    // when they got there.
    bool CloseSynced(const DiskCalls& disk);
    bool Failed() const { return FFailed; }

private:
    bool Open(const std::string& fileName, int flags);
    bool Finish(const DiskCalls* disk);
    bool WriteAll(const uint8_t* data, size_t size);
    // Before writing `size` more bytes; a file system that cannot reserve is
    // written without.
    void ReserveAhead(size_t size);
    static bool ReservingPaysOff(int fd);
    void Advance(size_t written) { FPosition += static_cast<int64_t>(written); }

    FileHandle FFile;
    std::vector<uint8_t> FBuffer;
    size_t FUsed = 0;
    int64_t FPosition = 0;     // bytes written to the file
    int64_t FReservedEnd = 0;  // space reserved up to here
    bool FCanReserve = true;
    bool FTrimOnClose = false;  // space may be taken past the end
    bool FFailed = false;
};

// Writes an existing file's data and its folder's entry out to the disk.
bool SyncFile(const std::string& fileName, const DiskCalls& disk = DiskCalls());
// Writes out the entries of the folder that holds `fileName`.
bool SyncFolderOf(const std::string& fileName, const DiskCalls& disk);

}  // namespace cl::flv
