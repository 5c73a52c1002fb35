#include "Remux.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "Codecs.h"
#include "SeamMender.h"

namespace remux {
namespace {

constexpr double kDurationSlack = 0.1;  // seconds between the source's and the MP4's playing time

// Owners of FFmpeg's objects.
struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct OutputCloser {
    void operator()(AVFormatContext* c) const {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// FFmpeg reports to standard error by itself; what matters reaches the
// caller as the Result's error instead.
void QuietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

int Interrupted(void* stop) { return stop && static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0; }

AVIOInterruptCB InterruptOf(const Options& options) {
    return {Interrupted, const_cast<std::atomic<bool>*>(options.stop)};
}

bool Stopping(const Options& options) { return options.stop && options.stop->load(); }

// The temporary file beside the MP4, removed unless renamed into place.
class TempName {
public:
    explicit TempName(const std::string& target) {
        static std::atomic<unsigned> counter{0};
        name_ = target + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName() {
        if (!kept_) ::unlink(name_.c_str());
    }
    const std::string& Name() const { return name_; }
    void Keep() { kept_ = true; }

private:
    std::string name_;
    bool kept_ = false;
};

// AFormat: the demuxer to read with; null: the one the file's content names.
Input OpenInput(const std::string& path, const AVInputFormat* format, const Options& options, int& error) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        error = AVERROR(ENOMEM);
        return nullptr;
    }
    raw->interrupt_callback = InterruptOf(options);
    error = avformat_open_input(&raw, path.c_str(), format, nullptr);  // frees raw on failure
    if (error < 0) return nullptr;
    Input input(raw);
    error = avformat_find_stream_info(raw, nullptr);
    return error < 0 ? nullptr : std::move(input);
}

// The first stream of each kind, or -1.
struct Picked {
    int video = -1;
    int audio = -1;
};

Picked PickStreams(const AVFormatContext& c) {
    Picked picked;
    for (unsigned i = 0; i < c.nb_streams; ++i) {
        const AVMediaType type = c.streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && picked.video < 0)
            picked.video = int(i);
        else if (type == AVMEDIA_TYPE_AUDIO && picked.audio < 0)
            picked.audio = int(i);
    }
    return picked;
}

// Why the source cannot go into an MP4 as it is; empty when it can.
std::string Refusal(const AVFormatContext& c, const Picked& picked) {
    std::string refused;
    for (const auto& [index, kind] : {std::pair{picked.video, "video"}, std::pair{picked.audio, "audio"}}) {
        if (index < 0) continue;
        const AVCodecID codec = c.streams[index]->codecpar->codec_id;
        if (Mp4Carries(codec)) continue;
        refused += (refused.empty() ? "" : " and ") + std::string("the ") + kind + " is " + CodecName(codec);
    }
    return refused.empty() ? refused : refused + ", which MP4 cannot carry without re-encoding";
}

// What an MP4 file holds, as a player reads it.
struct Holding {
    AVCodecID video = AV_CODEC_ID_NONE;
    AVCodecID audio = AV_CODEC_ID_NONE;
    double seconds = 0;
};

std::string ReadBack(const std::string& path, const Options& options, Holding& holding) {
    int error = 0;
    Input check = OpenInput(path, nullptr, options, error);
    if (!check) return "the MP4 does not read back: " + AvError(error);
    const Picked picked = PickStreams(*check);
    if (picked.video >= 0) holding.video = check->streams[picked.video]->codecpar->codec_id;
    if (picked.audio >= 0) holding.audio = check->streams[picked.audio]->codecpar->codec_id;
    holding.seconds = check->duration == AV_NOPTS_VALUE ? 0 : double(check->duration) / AV_TIME_BASE;
    return {};
}

bool SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The span of the packets written, in seconds.
class Span {
public:
    void Add(int64_t pts, int64_t duration, AVRational timeBase) {
        if (pts == AV_NOPTS_VALUE) return;
        const double start = double(pts) * av_q2d(timeBase);
        const double end = double(pts + std::max<int64_t>(duration, 0)) * av_q2d(timeBase);
        first_ = std::min(first_, start);
        last_ = std::max(last_, end);
    }
    double Seconds() const { return last_ > first_ ? last_ - first_ : 0; }

private:
    double first_ = HUGE_VAL;
    double last_ = -HUGE_VAL;
};

Result Fail(Outcome outcome, std::string error) {
    Result result;
    result.outcome = outcome;
    result.error = std::move(error);
    return result;
}

}  // namespace

Result ConvertFile(const std::string& flvPath, const std::string& mp4Path, const Options& options) {
    QuietLibraries();
    if (!options.replace && ::access(mp4Path.c_str(), F_OK) == 0)
        return Fail(Outcome::Failed, mp4Path + " exists already");

    int error = 0;
    Input input = OpenInput(flvPath, av_find_input_format("flv"), options, error);
    if (!input) {
        if (Stopping(options)) return Fail(Outcome::Stopped, "stopped");
        return Fail(Outcome::Failed, "cannot read " + flvPath + " as an FLV file: " + AvError(error));
    }
    const Picked picked = PickStreams(*input);
    if (picked.video < 0 && picked.audio < 0) return Fail(Outcome::Failed, flvPath + " holds neither video nor audio");
    if (std::string refusal = Refusal(*input, picked); !refusal.empty()) return Fail(Outcome::NotConvertible, refusal);

    TempName temp(mp4Path);
    AVFormatContext* rawOutput = nullptr;
    error = avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", temp.Name().c_str());
    if (error < 0) return Fail(Outcome::Failed, "cannot make an MP4 writer: " + AvError(error));
    Output output(rawOutput);
    output->interrupt_callback = InterruptOf(options);

    // Source stream index -> output stream index.
    std::vector<int> target(input->nb_streams, -1);
    SeamMender mender(input->nb_streams);
    for (int index : {picked.video, picked.audio}) {
        if (index < 0) continue;
        AVStream* stream = avformat_new_stream(output.get(), nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, input->streams[index]->codecpar) < 0)
            return Fail(Outcome::Failed, "cannot make an MP4 stream");
        stream->codecpar->codec_tag = 0;  // FLV's codec numbers mean nothing in MP4
        stream->time_base = input->streams[index]->time_base;
        target[size_t(index)] = stream->index;
    }

    error = avio_open2(&output->pb, temp.Name().c_str(), AVIO_FLAG_WRITE, &output->interrupt_callback, nullptr);
    if (error < 0) return Fail(Outcome::Failed, "cannot create " + temp.Name() + ": " + AvError(error));
    AVDictionary* muxerOptions = nullptr;
    // The index goes in front of the media once the media is written.
    av_dict_set(&muxerOptions, "movflags", "+faststart", 0);
    error = avformat_write_header(output.get(), &muxerOptions);
    av_dict_free(&muxerOptions);
    if (error < 0)
        return Fail(Stopping(options) ? Outcome::Stopped : Outcome::Failed,
                    "cannot write the MP4 header to " + temp.Name() + ": " + AvError(error));

    Result result;
    Span span;
    Packet packet(av_packet_alloc());
    if (!packet) return Fail(Outcome::Failed, "out of memory");
    std::string readError;
    const int64_t sourceBytes = avio_size(input->pb);
    for (;;) {
        error = av_read_frame(input.get(), packet.get());
        if (error == AVERROR_EOF) break;
        if (Stopping(options)) return Fail(Outcome::Stopped, "stopped");
        if (error < 0) {
            readError = AvError(error);
            break;
        }
        const int from = packet->stream_index;
        if (from < 0 || size_t(from) >= target.size() || target[size_t(from)] < 0) {
            av_packet_unref(packet.get());
            continue;
        }
        if (packet->flags & AV_PKT_FLAG_CORRUPT) {  // a tag the file ends inside of
            readError = "its last tag is incomplete";
            av_packet_unref(packet.get());
            break;
        }
        int64_t dts = packet->dts == AV_NOPTS_VALUE ? SeamMender::kNone : packet->dts;
        int64_t pts = packet->pts == AV_NOPTS_VALUE ? SeamMender::kNone : packet->pts;
        mender.Mend(size_t(from), dts, pts);
        packet->dts = dts;
        packet->pts = pts == SeamMender::kNone ? dts : pts;
        const AVRational timeBase = input->streams[from]->time_base;
        span.Add(packet->pts, packet->duration, timeBase);
        packet->stream_index = target[size_t(from)];
        packet->pos = -1;
        av_packet_rescale_ts(packet.get(), timeBase, output->streams[packet->stream_index]->time_base);
        error = av_interleaved_write_frame(output.get(), packet.get());  // takes the packet's data
        if (error < 0)
            return Fail(Stopping(options) ? Outcome::Stopped : Outcome::Failed,
                        "cannot write " + temp.Name() + ": " + AvError(error));
        ++result.packets;
        if (options.progress && sourceBytes > 0)
            options.progress(std::min(1.0, double(avio_tell(input->pb)) / double(sourceBytes)));
    }
    if (result.packets == 0)
        return Fail(Outcome::Failed, flvPath + " holds no audio or video packet" +
                                         (readError.empty() ? std::string() : ": " + readError));
    error = av_write_trailer(output.get());
    if (error >= 0) error = avio_closep(&output->pb);
    if (error < 0)
        return Fail(Stopping(options) ? Outcome::Stopped : Outcome::Failed,
                    "cannot finish " + temp.Name() + ": " + AvError(error));
    result.seams = mender.Seams();
    result.sourceSeconds = span.Seconds();

    // A source cut short ends inside a tag, or declares more playing time
    // than its packets hold.
    const double declared = input->duration == AV_NOPTS_VALUE ? 0 : double(input->duration) / AV_TIME_BASE;
    if (!readError.empty() || declared > result.sourceSeconds + 1) {
        result.cutShort = true;
        result.note = "the source is cut short (" + (readError.empty() ? "it ends early" : readError) +
                      "): converted the " + Seconds(result.sourceSeconds) + " it holds" +
                      (declared > result.sourceSeconds ? " of " + Seconds(declared) : "");
    }

    Holding holding;
    if (std::string unread = ReadBack(temp.Name(), options, holding); !unread.empty())
        return Fail(Stopping(options) ? Outcome::Stopped : Outcome::Failed, unread);
    result.mp4Seconds = holding.seconds;
    if (picked.video >= 0 && holding.video != input->streams[picked.video]->codecpar->codec_id)
        return Fail(Outcome::Failed, "the MP4 read back lacks the video");
    if (picked.audio >= 0 && holding.audio != input->streams[picked.audio]->codecpar->codec_id)
        return Fail(Outcome::Failed, "the MP4 read back lacks the audio");
    if (std::abs(holding.seconds - result.sourceSeconds) > kDurationSlack)
        return Fail(Outcome::Failed, "the MP4 read back plays " + Seconds(holding.seconds) + " instead of " +
                                         Seconds(result.sourceSeconds));

    // The MP4 is whole on the disk before its name appears, and its name is
    // on the disk before the caller may delete the source.
    if (options.sync && !SyncPath(temp.Name(), O_RDONLY))
        return Fail(Outcome::Failed, SystemError("cannot put on the disk", temp.Name()));
    const int renamed = options.replace
                            ? ::rename(temp.Name().c_str(), mp4Path.c_str())
                            : ::renameat2(AT_FDCWD, temp.Name().c_str(), AT_FDCWD, mp4Path.c_str(), RENAME_NOREPLACE);
    if (renamed != 0) return Fail(Outcome::Failed, SystemError("cannot give the MP4 its name", mp4Path));
    temp.Keep();
    if (options.sync && !SyncPath(FolderOf(mp4Path), O_RDONLY | O_DIRECTORY))
        return Fail(Outcome::Failed, SystemError("cannot put on the disk the folder of", mp4Path));
    result.outcome = Outcome::Converted;
    return result;
}

std::string Mp4PathFor(const std::string& flvPath) {
    std::filesystem::path path(flvPath);
    if (path.extension() == ".flv") return path.replace_extension(".mp4").string();
    return flvPath + ".mp4";
}

}  // namespace remux
