// The joining tool carried inside the program: RuvErov.exe and the library it
// loads, ZURAre.dll, embedded at build time and written next to the program
// when missing, so that joining works wherever the program was copied.
#pragma once

#include <QString>
#include <cstdint>
#include <span>
#include <vector>

namespace bl {

struct TEmbeddedFile {
    const char* Name;
    std::span<const uint8_t> Bytes;
};

// RuvErov.exe and ZURAre.dll, as they were built.
std::span<const TEmbeddedFile> EmbeddedJoinerFiles();

enum class TReleaseMode {
    // A file already there is the user's: it is left alone.
    KeepExisting,
    // The folder is the program's own store: a file from another version is
    // replaced.
    ReplaceDiffering,
};

// Writes each embedded file that AFolder (with trailing "/") lacks, byte for
// byte and executable. A file appears under its name only once it was
// written whole. False when a write failed.
bool ReleaseJoinerFiles(const QString& AFolder, TReleaseMode AMode = TReleaseMode::KeepExisting);
// Whether both files exist in AFolder.
bool JoinerFilesPresent(const QString& AFolder);

}  // namespace bl
