// FLV segments, synthetic and playable.
#include "site/FlvSegments.h"

#include <algorithm>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "flvAmf.h"
#include "flvFormat.h"

extern char** environ;

namespace vidsite {

namespace {

constexpr uint8_t kAudioTag = 8;
constexpr uint8_t kVideoTag = 9;
constexpr uint8_t kScriptTag = 18;
constexpr uint8_t kH263 = 2;
constexpr uint8_t kAac = 10;
constexpr uint32_t kFrameMs = 40;           // 25 frames a second
constexpr uint32_t kKeyFrameInterval = 25;  // one key frame a second
constexpr uint32_t kAacFrameSamples = 1024;
constexpr uint32_t kSampleRate = 44100;

void AppendBits(std::vector<uint8_t>& AOut, size_t& ABit, uint32_t AValue, unsigned ACount) {
    for (unsigned i = ACount; i-- > 0; ++ABit) {
        if (ABit % 8 == 0) AOut.push_back(0);
        if ((AValue >> i) & 1u) AOut.back() |= static_cast<uint8_t>(0x80u >> (ABit % 8));
    }
}

// A video tag's data: the frame byte, then an H.263 picture header with a
// 16-bit custom picture size, then payload up to ASize bytes.
std::vector<uint8_t> VideoData(const TPictureSize& APicture, bool AKeyFrame, uint32_t AFrame, size_t ASize,
                               uint32_t ASeed) {
    std::vector<uint8_t> data{static_cast<uint8_t>(((AKeyFrame ? 1 : 2) << 4) | kH263)};
    size_t bit = 0;
    std::vector<uint8_t> header;
    AppendBits(header, bit, 1, 17);  // picture start code
    AppendBits(header, bit, 0, 5);   // version
    AppendBits(header, bit, AFrame & 0xFF, 8);
    AppendBits(header, bit, 1, 3);  // custom size, 16 bits each
    AppendBits(header, bit, APicture.Width, 16);
    AppendBits(header, bit, APicture.Height, 16);
    AppendBits(header, bit, AKeyFrame ? 0 : 1, 2);  // intra or inter picture
    data.insert(data.end(), header.begin(), header.end());
    for (size_t i = data.size(); i < ASize; ++i) data.push_back(static_cast<uint8_t>((i * 31 + AFrame + ASeed) & 0xFF));
    return data;
}

// AAC raw frame: 44 kHz, 16 bit, stereo, packet type 1.
std::vector<uint8_t> AudioData(uint32_t AFrame, size_t ASize, uint32_t ASeed) {
    std::vector<uint8_t> data{static_cast<uint8_t>((kAac << 4) | (3 << 2) | (1 << 1) | 1), 1};
    for (size_t i = data.size(); i < ASize; ++i)
        data.push_back(static_cast<uint8_t>((i * 7 + AFrame * 3 + ASeed) & 0xFF));
    return data;
}

void AppendTag(std::string& AOut, uint8_t AType, uint32_t ATimestamp, const std::vector<uint8_t>& AData) {
    std::vector<uint8_t> tag = cl::flv::EncodeTag(AType, AData);
    tag[4] = static_cast<uint8_t>(ATimestamp >> 16);
    tag[5] = static_cast<uint8_t>(ATimestamp >> 8);
    tag[6] = static_cast<uint8_t>(ATimestamp);
    tag[7] = static_cast<uint8_t>(ATimestamp >> 24);
    AOut.append(reinterpret_cast<const char*>(tag.data()), tag.size());
}

// Bytes per video frame, as a stream of this quality would have.
size_t VideoFrameBytes(int AQuality) {
    switch (AQuality) {
        case 80:
            return 6000;
        case 64:
            return 3500;
        case 32:
            return 1800;
        default:
            return 900;
    }
}

std::string Read(const std::filesystem::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

// Runs a program with an argument vector (no shell), its output discarded.
bool RunQuietly(std::vector<std::string> AArguments) {
    std::vector<char*> argv;
    for (std::string& argument : AArguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TPictureSize PictureSizeOf(int AQuality) {
    switch (AQuality) {
        case 80:
            return {960, 540};
        case 64:
            return {640, 360};
        case 32:
            return {480, 270};
        default:
            return {320, 180};
    }
}

std::string MakeSyntheticSegment(const TSegmentShape& AShape) {
    const TPictureSize picture = PictureSizeOf(AShape.Quality);
    const size_t frameBytes = VideoFrameBytes(AShape.Quality);
    const uint32_t frames = std::max<uint32_t>(1, AShape.DurationMs / kFrameMs);
    const uint32_t audioFrames =
        static_cast<uint32_t>(uint64_t(frames) * kFrameMs * kSampleRate / (1000 * kAacFrameSamples));

    cl::flv::MetaObject meta;
    meta.SetNumber("duration", frames * kFrameMs / 1000.0);
    meta.SetNumber("width", picture.Width);
    meta.SetNumber("height", picture.Height);
    meta.SetNumber("videodatarate", static_cast<double>(frameBytes * 8 * 25 / 1000));
    meta.SetNumber("framerate", 25);
    meta.SetNumber("videocodecid", kH263);
    meta.SetNumber("audiodatarate", 128);
    meta.SetNumber("audiosamplerate", kSampleRate);
    meta.SetNumber("audiosamplesize", 16);
    meta.SetBoolean("stereo", true);
    meta.SetNumber("audiocodecid", kAac);

    FlvHeader header{1, true, true, 9};
    const auto head = cl::flv::EncodeFileHeader(header);
    std::string out(head.begin(), head.end());
    AppendTag(out, kScriptTag, 0, cl::flv::EncodeOnMetaData(meta));
    // Audio and video interleaved by timestamp.
    uint32_t audio = 0;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const uint32_t videoTime = frame * kFrameMs;
        for (; audio < audioFrames; ++audio) {
            const uint32_t audioTime = static_cast<uint32_t>(uint64_t(audio) * kAacFrameSamples * 1000 / kSampleRate);
            if (audioTime > videoTime) break;
            AppendTag(out, kAudioTag, audioTime, AudioData(audio, 186 + audio % 40, AShape.Seed));
        }
        const bool key = frame % kKeyFrameInterval == 0;
        const size_t size = key ? frameBytes * 4 : frameBytes - frameBytes / 8 + (frame * 97) % (frameBytes / 4);
        AppendTag(out, kVideoTag, videoTime, VideoData(picture, key, frame, size, AShape.Seed));
    }
    return out;
}

std::string MakePlayableSegment(const std::string& AFolder, const TSegmentShape& AShape) {
    namespace fs = std::filesystem;
    const fs::path file =
        fs::path(AFolder) / ("q" + std::to_string(AShape.Quality) + "-" + std::to_string(AShape.DurationMs) + "ms-" +
                             std::to_string(AShape.Seed % 6) + (AShape.OldCodecs ? "-h263" : "-h264") + ".flv");
    std::error_code error;
    if (fs::exists(file, error)) return Read(file);
    fs::create_directories(AFolder, error);
    const TPictureSize picture = PictureSizeOf(AShape.Quality);
    const std::string seconds = std::to_string(AShape.DurationMs / 1000.0);
    const std::string partial = file.string() + ".part" + std::to_string(getpid());
    std::vector<std::string> arguments{
        "ffmpeg",
        "-nostdin",
        "-y",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=" + std::to_string(picture.Width) + "x" + std::to_string(picture.Height) +
            ":rate=25:duration=" + seconds,
        "-f",
        "lavfi",
        "-i",
        "sine=frequency=" + std::to_string(330 + 110 * (AShape.Seed % 6)) + ":sample_rate=44100:duration=" + seconds,
        "-vf",
        "hue=h=" + std::to_string(60 * (AShape.Seed % 6))};
    if (AShape.OldCodecs) {
        arguments.insert(arguments.end(), {"-c:v", "flv", "-q:v", "5", "-c:a", "libmp3lame", "-b:a", "96k"});
    } else {
        // H.264 with B-frames and a key frame a second, as the site encodes.
        // The sound ends with the last picture, as in a segment cut from one
        // encoding: the encoder's own delay would carry it a few frames on.
        const double soundEnd = std::max(0.0, AShape.DurationMs / 1000.0 - 0.05);
        arguments.insert(arguments.end(),
                         {"-c:v", "libx264", "-preset", "veryfast", "-crf", "28", "-g", "25", "-pix_fmt", "yuv420p",
                          "-af", "atrim=end=" + std::to_string(soundEnd), "-c:a", "aac", "-b:a", "96k"});
    }
    arguments.insert(arguments.end(), {"-f", "flv", partial});
    const bool made = RunQuietly(arguments);
    if (made) fs::rename(partial, file, error);
    fs::remove(partial, error);
    return made && !error ? Read(file) : std::string();
}

std::string CorruptSegment(std::string ASegment) {
    // Walks to the middle tag and gives it a data size past the end.
    size_t at = cl::flv::kFileHeaderSize + cl::flv::kPrevTagSizeSize;
    const size_t middle = ASegment.size() / 2;
    while (at + cl::flv::kTagHeaderSize < ASegment.size() && at < middle) {
        const auto byte = [&](size_t i) { return static_cast<uint8_t>(ASegment[at + i]); };
        const size_t dataSize = (size_t(byte(1)) << 16) | (size_t(byte(2)) << 8) | byte(3);
        const size_t next = at + cl::flv::kTagHeaderSize + dataSize + cl::flv::kPrevTagSizeSize;
        if (next >= middle || next + cl::flv::kTagHeaderSize >= ASegment.size()) break;
        at = next;
    }
    if (at + 4 <= ASegment.size()) {
        ASegment[at] = 0x7F;  // no tag type
        ASegment[at + 1] = ASegment[at + 2] = ASegment[at + 3] = static_cast<char>(0xFF);
    }
    return ASegment;
}

std::shared_ptr<const std::string> TSegmentStore::Segment(const TSitePart& APart, int AQuality, int AIndex) {
    std::lock_guard<std::mutex> guard(FLock);
    auto& slot = FSegments[{APart.Cid, AQuality, AIndex, APart.SegmentMs}];
    if (!slot) {
        const TSegmentShape shape{AQuality, APart.SegmentMs, static_cast<uint32_t>(APart.Cid * 7 + AIndex),
                                  APart.OldCodecs};
        std::string bytes;
        if (!FPlayableFolder.empty()) bytes = MakePlayableSegment(FPlayableFolder, shape);
        if (bytes.empty()) bytes = MakeSyntheticSegment(shape);
        slot = std::make_shared<const std::string>(std::move(bytes));
    }
    return slot;
}

}  // namespace vidsite
