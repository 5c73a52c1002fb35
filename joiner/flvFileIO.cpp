#include "flvFileIO.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cl::flv {

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
  if (FFd < 0)
    return true;
  int fd = Release();
  return ::close(fd) == 0;
}

// ---------------------------------------------------------------------------

bool FileReader::Open(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  FileHandle file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
    return false;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  FFile = std::move(file);
  FBuffer.resize(kBlockSize);
  FStart = FEnd = 0;
  FFileEnd = 0;
  FAtEnd = FFailed = false;
  return true;
}

size_t FileReader::Fill() {
  if (FStart < FEnd)
    return FEnd - FStart;
  FStart = FEnd = 0;
  if (FAtEnd || FFailed || !FFile.IsOpen())
    return 0;
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

void FileReader::Skip(uint64_t count) {
  uint64_t buffered = FEnd - FStart;
  if (count <= buffered) {
    FStart += static_cast<size_t>(count);
    return;
  }
  count -= buffered;
  FStart = FEnd = 0;
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

bool FileWriter::Create(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    return false;
  FFile = FileHandle(fd);
  FBuffer.resize(kBlockSize);
  FUsed = 0;
  FFailed = false;
  return true;
}

bool FileWriter::WriteAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t put = ::write(FFile.Get(), data, size);
    if (put < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

void FileWriter::Write(const uint8_t* data, size_t size) {
  if (FFailed || !FFile.IsOpen())
    return;
  if (size > FBuffer.size() - FUsed && !Flush())
    return;
  if (size >= FBuffer.size()) {
    if (!WriteAll(data, size))
      FFailed = true;
    return;
  }
  std::memcpy(FBuffer.data() + FUsed, data, size);
  FUsed += size;
}

void FileWriter::CopyFrom(int sourceFd, int64_t offset, uint64_t size) {
  if (FFailed || !FFile.IsOpen() || !Flush())
    return;
  off_t from = static_cast<off_t>(offset);
  while (size > 0) {
    size_t step = size < (1u << 30) ? static_cast<size_t>(size) : (1u << 30);
    ssize_t moved = ::copy_file_range(sourceFd, &from, FFile.Get(), nullptr, step, 0);
    if (moved > 0) {
      size -= static_cast<uint64_t>(moved);
      continue;
    }
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved == 0) { // the source ended early
      FFailed = true;
      return;
    }
    break; // not supported here: copy through the buffer
  }
  while (size > 0) {
    size_t step = size < FBuffer.size() ? static_cast<size_t>(size) : FBuffer.size();
    ssize_t got = ::pread(sourceFd, FBuffer.data(), step, from);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0 || !WriteAll(FBuffer.data(), static_cast<size_t>(got))) {
      FFailed = true;
      return;
    }
    from += got;
    size -= static_cast<uint64_t>(got);
  }
}

bool FileWriter::Flush() {
  if (FFailed || !FFile.IsOpen())
    return false;
  if (FUsed > 0) {
    if (!WriteAll(FBuffer.data(), FUsed))
      FFailed = true;
    FUsed = 0;
  }
  return !FFailed;
}

bool FileWriter::Close() {
  if (!FFile.IsOpen())
    return false;
  Flush();
  if (!FFile.Close())
    FFailed = true;
  FBuffer.clear();
  FBuffer.shrink_to_fit();
  return !FFailed;
}

} // namespace cl::flv
