#include "rtl/clStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "rtl/clTranslator.h"
#include "rtl/clException.h"

namespace cl {

int64_t TStream::GetSize() {
    const int64_t pos = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* ABuffer, int64_t ACount) {
    auto* p = static_cast<uint8_t*>(ABuffer);
    while (ACount > 0) {
        const int64_t n = Read(p, ACount);
        if (n <= 0) throw EReadError("Stream read error");
        p += n;
        ACount -= n;
    }
}

void TStream::WriteBuffer(const void* ABuffer, int64_t ACount) {
    const auto* p = static_cast<const uint8_t*>(ABuffer);
    while (ACount > 0) {
        const int64_t n = Write(p, ACount);
        if (n <= 0) throw EWriteError("Stream write error");
        p += n;
        ACount -= n;
    }
}

int64_t TStream::CopyFrom(TStream& ASource, int64_t ACount) {
    if (ACount == 0) {
        ASource.SetPosition(0);
        ACount = ASource.GetSize();
    }
    constexpr int64_t kChunk = 64 * 1024;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(ACount, kChunk)));
    int64_t done = 0;
    while (done < ACount) {
        const int64_t n = std::min(ACount - done, kChunk);
        ASource.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// --- TMemoryStream ---

int64_t TMemoryStream::Read(void* ABuffer, int64_t ACount) {
    const int64_t size = GetSize();
    if (ACount <= 0 || FPosition >= size) return 0;
    const int64_t n = std::min(ACount, size - FPosition);
    std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    const int64_t end = FPosition + ACount;
    if (end > GetSize()) FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
    FPosition = end;
    return ACount;
}

int64_t TMemoryStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    int64_t base = 0;
    if (AOrigin == soCurrent) base = FPosition;
    if (AOrigin == soEnd) base = GetSize();
    FPosition = std::max<int64_t>(0, base + AOffset);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t ANewSize) {
    if (ANewSize < 0) return;
    FData.resize(static_cast<size_t>(ANewSize));
    if (FPosition > ANewSize) FPosition = ANewSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& ASource) {
    ASource.SetPosition(0);
    const int64_t size = ASource.GetSize();
    FData.resize(static_cast<size_t>(size));
    FPosition = 0;
    if (size > 0) ASource.ReadBuffer(FData.data(), size);
}

void TMemoryStream::SaveToStream(TStream& ADest) const {
    if (!FData.empty()) ADest.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TMemoryStream::LoadFromFile(const std::string& AFileName) {
    TFileStream f(AFileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& AFileName) const {
    TFileStream f(AFileName, fmCreate);
    SaveToStream(f);
}

// --- TFileStream ---

TFileStream::TFileStream(const std::string& AFileName, uint16_t AMode) : FFileName(AFileName) {
    if (AMode == fmCreate) {
        FHandle = ::open(AFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0) {
            throw EFCreateError("Cannot create file \"" + AFileName + "\". " + SysErrorMessage(errno), errno);
        }
        return;
    }
    int flags = O_RDONLY;
    switch (AMode & 0x0003) {
        case fmOpenWrite:
            flags = O_WRONLY;
            break;
        case fmOpenReadWrite:
            flags = O_RDWR;
            break;
        default:
            break;
    }
    FHandle = ::open(AFileName.c_str(), flags | O_CLOEXEC);
    if (FHandle < 0) {
        throw EFOpenError("Cannot open file \"" + AFileName + "\". " + SysErrorMessage(errno), errno);
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    for (;;) {
        const ssize_t n = ::read(FHandle, ABuffer, static_cast<size_t>(ACount));
        if (n >= 0) return n;
        if (errno != EINTR) {
            throw EReadError("Stream read error: " + SysErrorMessage(errno) + " (" + FFileName + ")", errno);
        }
    }
}

int64_t TFileStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    const auto* p = static_cast<const uint8_t*>(ABuffer);
    int64_t done = 0;
    while (done < ACount) {
        const ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(ACount - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            const int err = n < 0 ? errno : ENOSPC;
            throw EWriteError("Stream write error: " + SysErrorMessage(err) + " (" + FFileName + ")", err);
        }
    }
    return done;
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    const int whence = AOrigin == soBeginning ? SEEK_SET : (AOrigin == soCurrent ? SEEK_CUR : SEEK_END);
    const off_t pos = ::lseek(FHandle, static_cast<off_t>(AOffset), whence);
    if (pos < 0) throw EStreamError("Stream seek error: " + SysErrorMessage(errno), errno);
    return pos;
}

void TFileStream::SetSize(int64_t ANewSize) {
    if (ANewSize < 0) return;
    if (::ftruncate(FHandle, static_cast<off_t>(ANewSize)) != 0) {
        throw EWriteError("Stream write error: " + SysErrorMessage(errno) + " (" + FFileName + ")", errno);
    }
    if (GetPosition() > ANewSize) Seek(ANewSize, soBeginning);
}

// --- TStringStream ---

TStringStream::TStringStream(const std::string& AText, std::string ACharSet) : FCharSet(std::move(ACharSet)) {
    WriteString(AText);
    SetPosition(0);
}

std::string TStringStream::DataString() const { return TclTranslator::GetString(Bytes(), FCharSet); }

void TStringStream::WriteString(const std::string& AText) { WriteBuffer(TclTranslator::GetBytes(AText, FCharSet)); }

}  // namespace cl
