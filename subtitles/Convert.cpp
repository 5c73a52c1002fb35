#include "Convert.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "AssWriter.h"
#include "LaneLayout.h"

namespace subtitles {
namespace {

constexpr size_t kPieceBytes = 64 * 1024;

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Owns a file descriptor.
class Fd {
public:
    explicit Fd(int fd) : FFd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (FFd >= 0) ::close(FFd);
    }
    int Get() const { return FFd; }
    // Closes now; false when the close reports a failed write.
    bool Close() {
        const int fd = FFd;
        FFd = -1;
        return ::close(fd) == 0;
    }

private:
    int FFd;
};

// Removes the temporary file unless it was renamed into place.
class TempFile {
public:
    explicit TempFile(std::string name) : FName(std::move(name)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!FKept) ::unlink(FName.c_str());
    }
    const std::string& Name() const { return FName; }
    void Keep() { FKept = true; }

private:
    std::string FName;
    bool FKept = false;
};

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(size_t(n));
    }
    return true;
}

// Lays the comments out in time order and writes them, handing the text to
// `flush` whenever a piece of it is complete; false when `flush` fails.
template <typename Flush>
bool Render(std::vector<Comment>& comments, const Options& options, std::string& out, Flush flush) {
    std::sort(comments.begin(), comments.end(), [](const Comment& a, const Comment& b) {
        return a.seconds != b.seconds ? a.seconds < b.seconds : a.order < b.order;
    });
    const double normalPx = NormalFontPx(options);
    const double width = options.stage.width, height = options.stage.height;
    LaneLayout layout({width, height, normalPx, options.scrollSeconds, options.fixedSeconds});
    AssWriter writer({options.stage.width, options.stage.height, options.font, normalPx, options.alpha});
    writer.AppendHeader(out);
    for (const Comment& c : comments) {
        const double fontPx = normalPx * c.size / 25;
        const TextBox box = MeasureText(c.text, fontPx);
        const int lane = layout.Place(c.mode, c.seconds, box);
        AssEvent e;
        e.mode = c.mode;
        e.start = c.seconds;
        e.fontPx = c.size == 25 ? 0 : fontPx;
        e.colour = c.colour;
        e.text = c.text;
        e.y = lane * normalPx;
        switch (c.mode) {
            case Mode::ScrollLeft:
                e.x1 = width;
                e.x2 = -box.width;
                break;
            case Mode::ScrollRight:
                e.x1 = -box.width;
                e.x2 = width;
                break;
            case Mode::Top:
                e.x1 = width / 2;
                break;
            case Mode::Bottom:
                e.x1 = width / 2;
                e.y = height - lane * normalPx;
                break;
        }
        const bool scrolling = c.mode == Mode::ScrollLeft || c.mode == Mode::ScrollRight;
        e.end = c.seconds + (scrolling ? options.scrollSeconds : options.fixedSeconds);
        writer.AppendEvent(out, e);
        if (out.size() >= kPieceBytes) {
            if (!flush(out)) return false;
            out.clear();
        }
    }
    return flush(out);
}

Result Refused(CommentReader& reader) {
    Result result;
    result.error = reader.Error();
    result.skipped = reader.Skipped();
    return result;
}

}  // namespace

std::string CheckOptions(const Options& o) {
    if (o.stage.width < 1 || o.stage.height < 1 || o.stage.width > 16384 || o.stage.height > 16384)
        return "the stage size must be from 1x1 to 16384x16384";
    if (!(o.fontSize >= 0) || o.fontSize > 1000) return "the font size must be from 1 to 1000 pixels";
    if (!(o.alpha >= 0 && o.alpha <= 1)) return "the alpha must be from 0 to 1";
    if (!(o.scrollSeconds > 0 && o.scrollSeconds <= 3600) || !(o.fixedSeconds > 0 && o.fixedSeconds <= 3600))
        return "the display times must be above 0 and at most 3600 seconds";
    if (o.font.empty() || o.font.find_first_of(",\r\n") != std::string::npos)
        return "the font name must not be empty nor hold a comma";
    return {};
}

double NormalFontPx(const Options& options) {
    // 50 pixels on a 1080-line stage: about 21 lanes.
    return options.fontSize > 0 ? options.fontSize : std::max(1.0, std::round(options.stage.height / 21.6));
}

Result ConvertText(std::string_view xml, std::string& ass, const Options& options) {
    ass.clear();
    Result result;
    if (std::string problem = CheckOptions(options); !problem.empty()) {
        result.error = problem;
        return result;
    }
    CommentReader reader;
    if (!reader.Feed(xml) || !reader.Finish()) return Refused(reader);
    std::string out;
    Render(reader.Comments(), options, out, [&](const std::string& piece) {
        ass += piece;
        return true;
    });
    result.ok = true;
    result.written = reader.Comments().size();
    result.skipped = reader.Skipped();
    return result;
}

Result ConvertFile(const std::string& xmlPath, const std::string& assPath, const Options& options) {
    Result result;
    if (std::string problem = CheckOptions(options); !problem.empty()) {
        result.error = problem;
        return result;
    }
    CommentReader reader;
    {
        Fd in(::open(xmlPath.c_str(), O_RDONLY | O_CLOEXEC));
        if (in.Get() < 0) {
            result.error = SystemError("cannot open", xmlPath);
            return result;
        }
        std::string piece(kPieceBytes, '\0');
        for (;;) {
            const ssize_t n = ::read(in.Get(), piece.data(), piece.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result.error = SystemError("cannot read", xmlPath);
                return result;
            }
            if (n == 0) break;
            if (!reader.Feed(std::string_view(piece.data(), size_t(n)))) return Refused(reader);
        }
        if (!reader.Finish()) return Refused(reader);
    }

    static std::atomic<unsigned> counter{0};
    TempFile temp(assPath + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    Fd out(::open(temp.Name().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.Get() < 0) {
        result.error = SystemError("cannot create", temp.Name());
        return result;
    }
    std::string text;
    text.reserve(2 * kPieceBytes);
    if (!Render(reader.Comments(), options, text,
                [&](const std::string& piece) { return WriteAll(out.Get(), piece); }) ||
        !out.Close()) {
        result.error = SystemError("cannot write", temp.Name());
        return result;
    }
    if (::rename(temp.Name().c_str(), assPath.c_str()) != 0) {
        result.error = SystemError("cannot rename the finished file to", assPath);
        return result;
    }
    temp.Keep();
    result.ok = true;
    result.written = reader.Comments().size();
    result.skipped = reader.Skipped();
    return result;
}

std::string AssPathFor(const std::string& xmlPath) {
    const size_t slash = xmlPath.rfind('/');
    const size_t dot = xmlPath.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) &&
        xmlPath.compare(dot, std::string::npos, ".xml") == 0)
        return xmlPath.substr(0, dot) + ".ass";
    return xmlPath + ".ass";
}

}  // namespace subtitles
