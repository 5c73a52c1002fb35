#include "engine/clDCUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include "http/clHeaderFieldList.h"
#include "http/clUriUtils.h"
#include "http/clZLibBase.h"
#include "http/clZLibStreams.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"
#include "rtl/clStringList.h"

namespace cl {

namespace {

std::string FileError(const char* AWhat, const std::string& AFileName, int AErrno) {
    return std::string(AWhat) + " \"" + AFileName + "\": " + SysErrorMessage(AErrno);
}

bool IsSafeFileName(const std::string& AName) { return !AName.empty() && AName != "." && AName != ".."; }

// The write runs' storage, kept across files: a file is opened for every
// item. Never destroyed, as streams may close while static destructors run.
// Thirty-two idle runs are 4 MiB.
TclBufferPool& RunPool() {
    static TclBufferPool* pool = new TclBufferPool(TclFileMappingStream::kRunCapacity, 32);
    return *pool;
}

}  // namespace

// --- TclFileMappingStream ---

TclFileMappingStream::TclFileMappingStream(const std::string& AFileName, int64_t ASize, bool ACreate)
    : FFileName(AFileName) {
    const int flags = O_RDWR | O_CLOEXEC | (ACreate ? O_CREAT | O_TRUNC : 0);
    FHandle = ::open(AFileName.c_str(), flags, 0644);
    if (FHandle < 0) {
        const int err = errno;
        if (ACreate) throw EFCreateError(FileError("Cannot create file", AFileName, err), err);
        throw EFOpenError(FileError("Cannot open file", AFileName, err), err);
    }
    try {
        SetSize(ASize);
    } catch (...) {
        ::close(FHandle);
        FHandle = -1;
        throw;
    }
}

TclFileMappingStream::~TclFileMappingStream() {
    try {
        Flush();
    } catch (const std::exception&) {
        // Reported to a caller that flushed first; nothing to tell here.
    }
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TclFileMappingStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    Flush();
    const ssize_t n = ::pread(FHandle, ABuffer, static_cast<size_t>(ACount), FPosition);
    if (n < 0) {
        const int err = errno;
        throw EReadError(FileError("Cannot read file", FFileName, err), err);
    }
    FPosition += n;
    return n;
}

int64_t TclFileMappingStream::Write(const void* ABuffer, int64_t ACount) {
    CheckFailed();
    auto* p = static_cast<const uint8_t*>(ABuffer);
    for (int64_t done = 0; done < ACount;) {
        TRun& run = RunFor(FPosition + done);
        const int64_t n = std::min(ACount - done, kRunCapacity - run.Used);
        std::memcpy(run.Data.get() + run.Used, p + done, static_cast<size_t>(n));
        run.Used += n;
        done += n;
        if (run.Used == kRunCapacity) FlushRun(run, false);
    }
    FPosition += ACount;
    return ACount;
}

TclFileMappingStream::TRun& TclFileMappingStream::RunFor(int64_t APosition) {
    TRun* oldest = &FRuns[0];
    for (TRun& run : FRuns) {
        if (run.Used > 0 && run.Start + run.Used == APosition) {
            run.LastUse = ++FUseCounter;
            return run;
        }
        if (run.Used == 0 || (oldest->Used > 0 && run.LastUse < oldest->LastUse)) oldest = &run;
    }
    // A new run: a free slot, or the one written to longest ago.
    if (oldest->Used > 0) FlushRun(*oldest, true);
    if (!oldest->Data) oldest->Data = RunPool().Take();
    oldest->Start = APosition;
    oldest->LastUse = ++FUseCounter;
    return *oldest;
}

void TclFileMappingStream::FlushRun(TRun& ARun, bool AAll) {
    int64_t count = ARun.Used;
    if (!AAll) count -= (ARun.Start + ARun.Used) % kBlockSize;
    if (count <= 0) return;
    WriteAt(ARun.Data.get(), count, ARun.Start);
    std::memmove(ARun.Data.get(), ARun.Data.get() + count, static_cast<size_t>(ARun.Used - count));
    ARun.Start += count;
    ARun.Used -= count;
}

void TclFileMappingStream::WriteAt(const uint8_t* AData, int64_t ACount, int64_t APosition) {
    for (int64_t done = 0; done < ACount;) {
        const ssize_t n = ::pwrite(FHandle, AData + done, static_cast<size_t>(ACount - done), APosition + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            FFailedErrno = n < 0 ? errno : ENOSPC;
            CheckFailed();
        }
        done += n;
    }
}

void TclFileMappingStream::CheckFailed() const {
    if (FFailedErrno != 0) throw EWriteError(FileError("Cannot write file", FFileName, FFailedErrno), FFailedErrno);
}

void TclFileMappingStream::Flush() {
    CheckFailed();
    for (TRun& run : FRuns) {
        if (run.Used > 0) FlushRun(run, true);
    }
}

int64_t TclFileMappingStream::WrittenUpTo(int64_t AStart, int64_t AEnd) const {
    int64_t end = AEnd;
    for (const TRun& run : FRuns) {
        if (run.Used == 0) continue;
        const int64_t first = std::max(run.Start, AStart);
        if (first < std::min(run.Start + run.Used, end)) end = first;
    }
    return end;
}

int64_t TclFileMappingStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    switch (AOrigin) {
        case soBeginning:
            FPosition = AOffset;
            break;
        case soCurrent:
            FPosition += AOffset;
            break;
        case soEnd:
            FPosition = FSize + AOffset;
            break;
    }
    if (FPosition < 0) FPosition = 0;
    return FPosition;
}

void TclFileMappingStream::SetSize(int64_t ANewSize) {
    if (ANewSize < 0) ANewSize = 0;
    Flush();
    ReserveFileSize(FHandle, ANewSize, FFileName);
    FSize = ANewSize;
}

void ReserveFileSize(int AHandle, int64_t ASize, const std::string& AFileName) {
    struct stat st {};
    if (::fstat(AHandle, &st) != 0) {
        const int err = errno;
        throw EWriteError(FileError("Cannot size file", AFileName, err), err);
    }
    if (ASize > st.st_size) {
        // Reserving the blocks now turns a full disk into one clear error
        // before any byte is fetched, instead of a failure mid-range.
        int rc;
        do {
            rc = ::fallocate(AHandle, 0, 0, ASize);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) return;
        const int err = errno;
        if (err != EOPNOTSUPP && err != ENOSYS) {
            throw EWriteError(FileError("Cannot allocate file", AFileName, err), err);
        }
    }
    if (ASize != st.st_size && ::ftruncate(AHandle, ASize) != 0) {
        const int err = errno;
        throw EWriteError(FileError("Cannot size file", AFileName, err), err);
    }
}

// --- names ---

std::string IncludeTrailingPathDelimiter(const std::string& AFolder) {
    if (AFolder.empty() || AFolder.back() == '/') return AFolder;
    return AFolder + '/';
}

std::string ExtractFileName(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

std::string ExtractFilePath(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    return slash == std::string::npos ? std::string() : APath.substr(0, slash + 1);
}

std::string GetLocalFileByFolder(const std::string& ALocalFolder, const std::string& ALocalFile) {
    return IncludeTrailingPathDelimiter(ALocalFolder) + ExtractFileName(ALocalFile);
}

std::string GetContentDispositionFileName(const std::string& AContentDisposition) {
    if (AContentDisposition.empty()) return std::string();
    TclHeaderFieldList fields;
    std::string name = fields.GetFieldValueItem(AContentDisposition, "filename");
    const size_t sep = name.find_last_of("/\\");
    if (sep != std::string::npos) name.erase(0, sep + 1);
    return IsSafeFileName(name) ? name : std::string();
}

std::string GetLocalFileByUrl(const std::string& AUrl, const std::string& AFolder) {
    TclUrlParser parser;
    const std::string file = parser.GetLocalFileByURL(AUrl, AFolder);
    if (!parser.QueryString().empty() || !parser.Fragment().empty()) return std::string();
    if (!IsSafeFileName(ExtractFileName(file))) return std::string();
    return file;
}

// --- files ---

void ForceFileFolders(const std::string& AFileName) {
    const std::string folder = ExtractFilePath(AFileName);
    for (size_t pos = 1; pos < folder.size(); ++pos) {
        if (folder[pos] != '/') continue;
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            const int err = errno;
            throw EFCreateError(FileError("Cannot create folder", part, err), err);
        }
    }
}

bool FileExists(const std::string& AFileName) {
    struct stat st {};
    return ::stat(AFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t GetReadableFileSize(const std::string& AFileName) {
    const int fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    const int64_t size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    ::close(fd);
    return size;
}

bool DeleteFile(const std::string& AFileName) { return ::unlink(AFileName.c_str()) == 0; }

bool SetFileTimes(const std::string& AFileName, double ALocalTime) {
    const int fd = ::open(AFileName.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // The day number is a local wall-clock time; mktime finds its moment.
    const double wallSeconds = std::floor((ALocalTime - 25569.0) * 86400.0 + 0.5);
    const std::time_t wall = static_cast<std::time_t>(wallSeconds);
    std::tm t{};
    gmtime_r(&wall, &t);
    t.tm_isdst = -1;
    timespec times[2];
    times[0].tv_sec = std::mktime(&t);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    const bool ok = ::futimens(fd, times) == 0;
    ::close(fd);
    return ok;
}

void GunzipFile(const std::string& ASource, const std::string& ADest) {
    TFileStream source(ASource, fmOpenRead);
    TFileStream dest(ADest, fmCreate);
    TclGZipInflateStream inflater(dest);
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
        const int64_t n = source.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
        if (n <= 0) break;
        inflater.WriteBuffer(buffer.data(), n);
    }
    // The decoder checks a member when its trailer arrives; a body cut off
    // before it ends without complaint. The trailer's length field (the
    // last four bytes, modulo 2^32) then does not match what was decoded.
    const int64_t sourceSize = source.GetSize();
    uint8_t trailer[4] = {};
    if (sourceSize >= 4) {
        source.SetPosition(sourceSize - 4);
        source.ReadBuffer(trailer, 4);
    }
    const uint32_t declared = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | static_cast<uint32_t>(trailer[3]) << 24;
    if (sourceSize < 4 || declared != static_cast<uint32_t>(dest.GetSize())) RaiseZLibError(zlInvalidDataSize);
}

// --- stored properties ---

std::string EscapeStoredValue(const std::string& AValue) {
    std::string r;
    for (char c : AValue) {
        if (c == '\\')
            r += "\\\\";
        else if (c == '\n')
            r += "\\n";
        else if (c == '\r')
            r += "\\r";
        else
            r += c;
    }
    return r;
}

std::string UnescapeStoredValue(const std::string& AValue) {
    std::string r;
    for (size_t i = 0; i < AValue.size(); ++i) {
        if (AValue[i] != '\\' || i + 1 == AValue.size()) {
            r += AValue[i];
            continue;
        }
        const char c = AValue[++i];
        r += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return r;
}

int64_t ReadStoredNumber(const TStringList& AValues, const std::string& AName, int64_t AFallback) {
    const int index = AValues.IndexOfName(AName);
    if (index < 0) return AFallback;
    return StrToInt64Def(AValues.ValueFromIndex(index), AFallback);
}

std::string ReadStoredText(const TStringList& AValues, const std::string& AName, const std::string& AFallback) {
    const int index = AValues.IndexOfName(AName);
    return index < 0 ? AFallback : UnescapeStoredValue(AValues.ValueFromIndex(index));
}

}  // namespace cl
