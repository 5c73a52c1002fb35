// RuvErov: joins FLV files into one, shifting the timestamps of each source
// so that the sources play one after the other, then gives the result fresh
// metadata. Usage: ruverov dest_file src_file1 src_file2 ...
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "ZURAre.h"

namespace {

// Exit statuses of the tool.
enum ExitStatus {
    kJoined = 0,
    kUsage = -1,
    kCannotCreate = 1,
    kCannotOpenSource = 2,
    kBadSource = 3,
};

const char kBanner[] =
    "RuvErov FLV joining tool v1.1\n"
    "Joins FLV segments in playing order, shifting their timestamps,\n"
    "and writes a fresh onMetaData tag computed from the joined media.\n"
    "\n";
const char kUsageText[] = "Usage: ruverov dest_file src_file1 src_file2 ...";
const char kCannotCreateText[] = "Can't create output file for writing, make sure the output path is writable\n";
const char kCannotOpenSourceText[] = "Can't open source flv %s";
const char kBadSourceText[] = "Can't read from source flv %s, bad flv ?";

const char kTempSuffix[] = ".$$$";

bool SameFile(const std::string& a, const char* b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Creating the destination truncates it, and the metadata step overwrites
// its temporary file: either would destroy a source before it is read.
bool DestinationIsASource(const char* dest, int count, char** sources) {
    for (int i = 0; i < count; ++i)
        if (SameFile(dest, sources[i]) || SameFile(std::string(dest) + kTempSuffix, sources[i])) return true;
    return false;
}

class Joiner {
public:
    explicit Joiner(FlvWriteFile* dest) : FDest(dest) {}

    // Appends the audio and video tags of one source, shifted by the offset
    // gathered so far (wrapping at 32 bits); false when writing the
    // destination failed.
    bool AppendSource(FlvReadFile* source) {
        uint32_t last = 0;  // unshifted timestamp of the source's last tag
        const bool written = Flv_AppendMediaTags(source, FDest, FOffset, &last);
        FOffset += last;
        return written;
    }

private:
    FlvWriteFile* FDest;
    uint32_t FOffset = 0;
};

int Fail(ExitStatus status, const char* format, const char* name) {
    std::fprintf(stderr, format, name);
    std::fflush(stderr);
    return status;
}

int Join(const char* destName, int count, char** sources) {
    if (DestinationIsASource(destName, count, sources)) return Fail(kCannotCreate, "%s", kCannotCreateText);
    FlvWriteFile* dest = CreateFileWriteAble(destName);
    if (!dest) return Fail(kCannotCreate, "%s", kCannotCreateText);

    Joiner joiner(dest);
    bool written = true;
    for (int i = 0; i < count && written; ++i) {
        FlvReadFile* source = CreateFileReadAble(sources[i]);
        if (!source) {
            DeleteFileWritable(dest);
            return Fail(kCannotOpenSource, kCannotOpenSourceText, sources[i]);
        }
        FlvHeader header{};
        if (!Flv_ReadHeader(source, &header)) {
            DeleteFileReadAble(source);
            DeleteFileWritable(dest);
            return Fail(kBadSource, kBadSourceText, sources[i]);
        }
        if (i == 0) written = Flv_WriteHeader(dest, &header);
        written = written && joiner.AppendSource(source);
        // Stopping on a read error rather than at the end would leave the
        // destination silently short.
        const bool readFailed = Flv_ReadFailed(source);
        DeleteFileReadAble(source);
        if (readFailed) {
            DeleteFileWritable(dest);
            return Fail(kBadSource, kBadSourceText, sources[i]);
        }
    }
    // A destination that did not receive every byte is not a join.
    if (!DeleteFileWritable(dest) || !written) return Fail(kCannotCreate, "%s", kCannotCreateText);

    // Success promises a destination that survives a power loss. A rewrite
    // that went through has written its file out; otherwise the destination
    // as it stands (the joined tags without metadata) is written out here, and
    // one that cannot be is no join.
    bool rewritten = false;
    if (FlvMeta* meta = FlvMetaCreateObject()) {
        FlvMetaParseFromFile(meta, destName);
        rewritten = FlvMetaUpdateToFile(meta, destName);
        FlvMetaDeleteObject(meta);
    }
    if (!rewritten && !Flv_SyncFile(destName)) return Fail(kCannotCreate, "%s", kCannotCreateText);
    return kJoined;
}

}  // namespace

int main(int argc, char** argv) {
    std::fputs(kBanner, stdout);
    std::fflush(stdout);
    if (argc < 3) {
        std::fputs(kUsageText, stderr);
        std::fflush(stderr);
        return kUsage;
    }
    return Join(argv[1], argc - 2, argv + 2);
}
