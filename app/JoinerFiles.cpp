#include "JoinerFiles.h"

#include <QFile>
#include <QSaveFile>
#include <algorithm>

namespace bl {

// Defined by the generated JoinerImages.cpp: start and end of each image.
extern "C" const uint8_t clRuvErovImage[];
extern "C" const uint8_t clRuvErovImageEnd[];
extern "C" const uint8_t clZURAreImage[];
extern "C" const uint8_t clZURAreImageEnd[];

namespace {

std::span<const uint8_t> Image(const uint8_t* ABegin, const uint8_t* AEnd) {
    return {ABegin, static_cast<size_t>(AEnd - ABegin)};
}

bool WriteExecutable(const QString& AFileName, std::span<const uint8_t> ABytes) {
    // The bytes go to a temporary file that is renamed when complete, so an
    // interrupted write never leaves a truncated tool that counts as present.
    QSaveFile file(AFileName);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const auto size = static_cast<qint64>(ABytes.size());
    if (file.write(reinterpret_cast<const char*>(ABytes.data()), size) != size) return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                             QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                             QFileDevice::ExeOther)) {
        return false;
    }
    return file.commit();
}

bool HoldsBytes(const QString& AFileName, std::span<const uint8_t> ABytes) {
    QFile file(AFileName);
    if (!file.open(QIODevice::ReadOnly) || file.size() != static_cast<qint64>(ABytes.size())) return false;
    const QByteArray bytes = file.readAll();
    return std::equal(bytes.begin(), bytes.end(), ABytes.begin(), ABytes.end(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

}  // namespace

std::span<const TEmbeddedFile> EmbeddedJoinerFiles() {
    static const TEmbeddedFile kFiles[] = {
        {"RuvErov.exe", Image(clRuvErovImage, clRuvErovImageEnd)},
        {"ZURAre.dll", Image(clZURAreImage, clZURAreImageEnd)},
    };
    return kFiles;
}

bool ReleaseJoinerFiles(const QString& AFolder, TReleaseMode AMode) {
    bool written = true;
    for (const TEmbeddedFile& file : EmbeddedJoinerFiles()) {
        const QString path = AFolder + QString::fromLatin1(file.Name);
        if (QFile::exists(path) && (AMode == TReleaseMode::KeepExisting || HoldsBytes(path, file.Bytes))) continue;
        if (!WriteExecutable(path, file.Bytes)) written = false;
    }
    return written;
}

bool JoinerFilesPresent(const QString& AFolder) {
    for (const TEmbeddedFile& file : EmbeddedJoinerFiles()) {
        if (!QFile::exists(AFolder + QString::fromLatin1(file.Name))) return false;
    }
    return true;
}

}  // namespace bl
