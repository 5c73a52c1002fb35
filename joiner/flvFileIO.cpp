#include "flvFileIO.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

namespace cl::flv {

DiskCalls::DiskCalls() : syncData(::fdatasync), syncFolder(::fsync), rename(::rename) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        FFd = other.Release();
    }
    return *this;
}

int FileHandle::Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
}

bool FileHandle::Close() {
    if (FFd < 0) return true;
    int fd = Release();
    return ::close(fd) == 0;
}

// ---------------------------------------------------------------------------

bool FileReader::Open(const std::string& fileName, Access access) {
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    FileHandle file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return false;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Unmap();
    FFile = std::move(file);
    FMapped = access == Access::Mapped && S_ISREG(st.st_mode);
    FFileSize = st.st_size;
    if (!FMapped) FBuffer.resize(kBlockSize);
    FStart = FEnd = 0;
    FFileEnd = 0;
    FAtEnd = FFailed = false;
    return true;
}

void FileReader::Unmap() {
    if (FMap) ::munmap(const_cast<uint8_t*>(FMap), FMapLength);
    FMap = nullptr;
    FMapLength = 0;
}

size_t FileReader::FillMapped(size_t count) {
    const int64_t offset = Position();  // where the next byte is
    Unmap();
    FStart = FEnd = 0;
    FFileEnd = offset;
    if (offset >= FFileSize) {
        FAtEnd = true;
        return 0;
    }
    static const int64_t kPage = ::sysconf(_SC_PAGESIZE);
    const int64_t base = offset - offset % kPage;
    const int64_t window = std::max<int64_t>(kMapWindow, static_cast<int64_t>(count) + (offset - base));
    const size_t length = static_cast<size_t>(std::min<int64_t>(window, FFileSize - base));
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, FFile.Get(), static_cast<off_t>(base));
    if (p == MAP_FAILED) {  // a file system without mapping: go on reading
        if (::lseek(FFile.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
            FFailed = true;
            return 0;
        }
        FMapped = false;
        FBuffer.resize(kBlockSize);
        return count > 0 ? Ensure(count) : Fill();
    }
    FMap = static_cast<const uint8_t*>(p);
    FMapLength = length;
    FStart = static_cast<size_t>(offset - base);
    FEnd = length;
    FFileEnd = base + static_cast<int64_t>(length);
    return FEnd - FStart;
}

size_t FileReader::Fill() {
    if (FStart < FEnd) return FEnd - FStart;
    if (FAtEnd || FFailed || !FFile.IsOpen()) return 0;
    if (FMapped) return FillMapped();
    FStart = FEnd = 0;
    for (;;) {
        ssize_t got = ::read(FFile.Get(), FBuffer.data(), FBuffer.size());
        if (got > 0) {
            FEnd = static_cast<size_t>(got);
            FFileEnd += got;
            return FEnd;
        }
        if (got == 0) {
            FAtEnd = true;
            return 0;
        }
        if (errno != EINTR) {
            FFailed = true;
            return 0;
        }
    }
}

size_t FileReader::Ensure(size_t count) {
    if (Available() >= count) return Available();
    if (FAtEnd || FFailed || !FFile.IsOpen()) return Available();
    if (FMapped) return FillMapped(count);
    // The waiting bytes go to the front, the buffer grows to hold `count`.
    const size_t waiting = Available();
    if (FStart > 0) std::memmove(FBuffer.data(), FBuffer.data() + FStart, waiting);
    FStart = 0;
    FEnd = waiting;
    if (FBuffer.size() < count) FBuffer.resize(count);
    while (FEnd < count) {
        ssize_t got = ::read(FFile.Get(), FBuffer.data() + FEnd, FBuffer.size() - FEnd);
        if (got > 0) {
            FEnd += static_cast<size_t>(got);
            FFileEnd += got;
        } else if (got == 0) {
            FAtEnd = true;
            break;
        } else if (errno != EINTR) {
            FFailed = true;
            break;
        }
    }
    return Available();
}

void FileReader::Skip(uint64_t count) {
    uint64_t buffered = FEnd - FStart;
    if (count <= buffered) {
        FStart += static_cast<size_t>(count);
        return;
    }
    count -= buffered;
    FStart = FEnd = 0;
    if (FMapped) {  // the next Fill maps the window at the new position
        Unmap();
        FFileEnd += static_cast<int64_t>(count);
        return;
    }
    if (count > kSeekThreshold && !FAtEnd && !FFailed) {
        // A position past the end is fine: the next read reports the end.
        if (::lseek(FFile.Get(), static_cast<off_t>(count), SEEK_CUR) >= 0) {
            FFileEnd += static_cast<int64_t>(count);
            return;
        }
    }
    while (count > 0 && Fill() > 0) {
        size_t step = Available() < count ? Available() : static_cast<size_t>(count);
        Consume(step);
        count -= step;
    }
}

// ---------------------------------------------------------------------------

bool FileWriter::Create(const std::string& fileName) { return Open(fileName, O_TRUNC); }

bool FileWriter::CreateNew(const std::string& fileName) {
    ::unlink(fileName.c_str());
    return Open(fileName, O_EXCL | O_NOFOLLOW);
}

bool FileWriter::Open(const std::string& fileName, int flags) {
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0) return false;
    FFile = FileHandle(fd);
    FBuffer.resize(kBlockSize);
    FUsed = 0;
    FPosition = FReservedEnd = 0;
    FCanReserve = ReservingPaysOff(fd);
    FTrimOnClose = false;
    FFailed = false;
    return true;
}

// Measured on Linux 6.18: ext4 writes a large new file about a third faster
// with space reserved ahead, as it then skips its per-block delayed-allocation
// bookkeeping. XFS and btrfs gain little or nothing and XFS starts writing the
// whole file out when it is trimmed; tmpfs zeroes the pages it reserves, which
// makes writing slower.
bool FileWriter::ReservingPaysOff(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == EXT4_SUPER_MAGIC;
}

void FileWriter::ReserveAhead(size_t size) {
    const int64_t end = FPosition + static_cast<int64_t>(size);
    if (!FCanReserve || end <= FReservedEnd) return;
    const int64_t step = std::max<int64_t>(kReserveStep, static_cast<int64_t>(size));
    if (::fallocate(FFile.Get(), FALLOC_FL_KEEP_SIZE, FPosition, step) == 0) {
        FReservedEnd = FPosition + step;
        FTrimOnClose = true;
        return;
    }
    FCanReserve = false;  // unsupported, or no room left: the writes will tell
    // A call cut short may have taken some of the space.
    if (errno == ENOSPC || errno == EINTR) FTrimOnClose = true;
}

bool FileWriter::WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        const size_t chunk = std::min(size, kWriteChunk);
        ReserveAhead(chunk);
        ssize_t put = ::write(FFile.Get(), data, chunk);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        Advance(static_cast<size_t>(put));
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

void FileWriter::Write(const uint8_t* data, size_t size) {
    if (FFailed || !FFile.IsOpen()) return;
    if (size > FBuffer.size() - FUsed && !Flush()) return;
    if (size >= FBuffer.size()) {
        if (!WriteAll(data, size)) FFailed = true;
        return;
    }
    std::memcpy(FBuffer.data() + FUsed, data, size);
    FUsed += size;
}

void FileWriter::WritePieces(struct iovec* pieces, size_t count) {
    if (FFailed || !FFile.IsOpen() || !Flush()) return;
    size_t first = 0;
    while (first < count) {
        // The pieces of one call, at most kWriteChunk bytes: the last piece taken
        // is cut for this call where it goes past that.
        size_t n = 0, bytes = 0;
        while (first + n < count && n < IOV_MAX && bytes < kWriteChunk) bytes += pieces[first + n++].iov_len;
        iovec& last = pieces[first + n - 1];
        const size_t cut = bytes > kWriteChunk ? bytes - kWriteChunk : 0;
        last.iov_len -= cut;
        ReserveAhead(bytes - cut);
        ssize_t put = ::writev(FFile.Get(), pieces + first, static_cast<int>(n));
        last.iov_len += cut;
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            FFailed = true;
            return;
        }
        Advance(static_cast<size_t>(put));
        // Skip what went out; a short write goes on inside a piece.
        size_t done = static_cast<size_t>(put);
        while (first < count && done >= pieces[first].iov_len) {
            done -= pieces[first].iov_len;
            ++first;
        }
        if (first < count) {
            pieces[first].iov_base = static_cast<uint8_t*>(pieces[first].iov_base) + done;
            pieces[first].iov_len -= done;
        }
    }
}

bool FileWriter::Flush() {
    if (FFailed || !FFile.IsOpen()) return false;
    if (FUsed > 0) {
        if (!WriteAll(FBuffer.data(), FUsed)) FFailed = true;
        FUsed = 0;
    }
    return !FFailed;
}

bool FileWriter::Close() { return Finish(nullptr); }

bool FileWriter::CloseSynced(const DiskCalls& disk) { return Finish(&disk); }

bool FileWriter::Finish(const DiskCalls* disk) {
    if (!FFile.IsOpen()) return false;
    Flush();
    // Space reserved past the end would otherwise stay taken as long as the
    // file exists.
    if (FTrimOnClose && ::ftruncate(FFile.Get(), static_cast<off_t>(FPosition)) != 0) FFailed = true;
    // After the trim, so that the size on the disk is the final one.
    if (disk && !FFailed && disk->syncData(FFile.Get()) != 0) FFailed = true;
    if (!FFile.Close()) FFailed = true;
    FBuffer.clear();
    FBuffer.shrink_to_fit();
    return !FFailed;
}

// ---------------------------------------------------------------------------

bool SyncFile(const std::string& fileName, const DiskCalls& disk) {
    FileHandle file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    return file.IsOpen() && disk.syncData(file.Get()) == 0 && SyncFolderOf(fileName, disk);
}

bool SyncFolderOf(const std::string& fileName, const DiskCalls& disk) {
    const size_t slash = fileName.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : fileName.substr(0, slash);
    FileHandle handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return handle.IsOpen() && disk.syncFolder(handle.Get()) == 0;
}

}  // namespace cl::flv
