// The stream family: an abstract byte stream over 64-bit positions, and the
// memory, file, string and null streams built on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/clEvents.h"

namespace cl {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    // Moves up to ACount bytes; the result is the number moved (0 at the end).
    virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;

    virtual int64_t GetSize();
    virtual void SetSize(int64_t ANewSize);
    int64_t GetPosition() { return Seek(0, soCurrent); }
    void SetPosition(int64_t APosition) { Seek(APosition, soBeginning); }

    // All or nothing: a short read or write raises EReadError / EWriteError.
    void ReadBuffer(void* ABuffer, int64_t ACount);
    void WriteBuffer(const void* ABuffer, int64_t ACount);
    void WriteBuffer(const std::string& AData) { WriteBuffer(AData.data(), static_cast<int64_t>(AData.size())); }
    void WriteBuffer(const std::vector<uint8_t>& AData) {
        WriteBuffer(AData.data(), static_cast<int64_t>(AData.size()));
    }

    // Copies ACount bytes from ASource's position; ACount 0 copies the whole
    // of ASource from its start. Returns the number of bytes copied.
    int64_t CopyFrom(TStream& ASource, int64_t ACount);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t GetSize() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t ANewSize) override;

    void Clear();
    void LoadFromStream(TStream& ASource);
    void SaveToStream(TStream& ADest) const;
    void LoadFromFile(const std::string& AFileName);
    void SaveToFile(const std::string& AFileName) const;

    uint8_t* Memory() { return FData.data(); }
    const uint8_t* Memory() const { return FData.data(); }
    const std::vector<uint8_t>& Bytes() const { return FData; }

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

// Open modes: one access mode, optionally or-ed with a share mode (the share
// modes are accepted for the callers' sake; this platform does not lock).
enum : uint16_t {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
    fmCreate = 0xFF00,  // create or truncate, open for reading and writing
};

class TFileStream : public TStream {
public:
    // Raises EFCreateError / EFOpenError with the system's reason.
    TFileStream(const std::string& AFileName, uint16_t AMode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    // A system failure (a full disk, say) raises EWriteError with the reason.
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    void SetSize(int64_t ANewSize) override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
};

// A memory stream that holds a text encoded in a named charset.
class TStringStream : public TMemoryStream {
public:
    explicit TStringStream(const std::string& AText = std::string(), std::string ACharSet = "utf-8");

    // The stream's bytes decoded with the charset.
    std::string DataString() const;
    const std::string& CharSet() const { return FCharSet; }
    void WriteString(const std::string& AText);

private:
    std::string FCharSet;
};

// Accepts and discards every write, reads nothing, answers every seek with
// position 0 (so its size is 0) and ignores size changes.
class TclNullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t ACount) override { return ACount < 0 ? 0 : ACount; }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
    void SetSize(int64_t) override {}
};

}  // namespace cl
