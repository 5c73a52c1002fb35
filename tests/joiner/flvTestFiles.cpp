#include "flvTestFiles.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cl::flvtest {
namespace {

void Put24(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void Put32(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    Put24(out, v);
}

uint32_t Get24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Get32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | Get24(p + 1); }

// Pads media data with a recognisable filler up to `size` bytes.
Bytes Padded(Bytes data, size_t size) {
    for (size_t i = data.size(); i < size; ++i) data.push_back(uint8_t(i * 7 + 1));
    return data;
}

class BitWriter {
public:
    void Put(uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            if (FBit % 8 == 0) FOut.push_back(0);
            if ((value >> i) & 1u) FOut.back() |= uint8_t(0x80u >> (FBit % 8));
            ++FBit;
        }
    }
    const Bytes& Get() const { return FOut; }

private:
    Bytes FOut;
    size_t FBit = 0;
};

}  // namespace

Bytes EncodeTestTag(const TestTag& tag) {
    Bytes out;
    out.push_back(tag.type);
    Put24(out, uint32_t(tag.data.size()));
    Put24(out, tag.timestamp & 0xFFFFFF);
    out.push_back(uint8_t(tag.timestamp >> 24));
    Put24(out, tag.streamId);
    out.insert(out.end(), tag.data.begin(), tag.data.end());
    Put32(out, uint32_t(tag.data.size() + 11));
    return out;
}

Bytes BuildFlv(const std::vector<TestTag>& tags, uint8_t flags, uint8_t version) {
    Bytes out = {'F', 'L', 'V', version, flags, 0, 0, 0, 9, 0, 0, 0, 0};
    for (const TestTag& t : tags) {
        Bytes e = EncodeTestTag(t);
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

Bytes AudioData(uint8_t soundFormat, size_t size) {
    return Padded({uint8_t((soundFormat << 4) | (3 << 2) | (1 << 1) | 1)}, size);
}

Bytes H263Data(uint32_t width, uint32_t height, size_t size) {
    struct Std {
        uint32_t w, h, code;
    };
    static const Std kStd[] = {{352, 288, 2}, {176, 144, 3}, {128, 96, 4}, {320, 240, 5}, {160, 120, 6}};
    BitWriter bits;
    bits.Put(1, 17);    // picture start code
    bits.Put(0, 5);     // version
    bits.Put(0x5A, 8);  // temporal reference
    uint32_t code = width < 256 && height < 256 ? 0 : 1;
    for (const Std& s : kStd)
        if (s.w == width && s.h == height) code = s.code;
    bits.Put(code, 3);
    if (code == 0) {
        bits.Put(width, 8);
        bits.Put(height, 8);
    } else if (code == 1) {
        bits.Put(width, 16);
        bits.Put(height, 16);
    }
    bits.Put(0, 2);  // picture type: intra
    Bytes out = {0x12};
    out.insert(out.end(), bits.Get().begin(), bits.Get().end());
    return Padded(out, size);
}

Bytes ScreenVideoData(uint32_t width, uint32_t height, size_t size) {
    return Padded({0x13, uint8_t(0x30 | (width >> 8)), uint8_t(width), uint8_t(0x30 | (height >> 8)), uint8_t(height)},
                  size);
}

Bytes Vp6Data(uint32_t width, uint32_t height, bool alpha, size_t size) {
    uint32_t cols = (width + 15) / 16, rows = (height + 15) / 16;
    uint8_t adjust = uint8_t(((cols * 16 - width) << 4) | (rows * 16 - height));
    Bytes out = {uint8_t(alpha ? 0x15 : 0x14), adjust};
    if (alpha) out.insert(out.end(), {0x00, 0x01, 0x00});  // offset to the alpha data
    out.push_back(0x00 | (20 << 1));                       // key frame, quantizer 20
    if (alpha) {
        out.push_back(6 << 3);                // no filter header: a partition offset follows
        out.insert(out.end(), {0x01, 0x00});  // the offset
    } else {
        out.push_back((6 << 3) | (3 << 1));
    }
    out.push_back(uint8_t(rows));
    out.push_back(uint8_t(cols));
    out.push_back(uint8_t(rows));
    out.push_back(uint8_t(cols));
    return Padded(out, size);
}

Bytes AvcData(size_t size) { return Padded({0x17, 0x01, 0x00, 0x00, 0x00, 0x01, 0x40, 0x02, 0x80}, size); }

AmfWriter& AmfWriter::Marker(uint8_t m) {
    FOut.push_back(m);
    return *this;
}

AmfWriter& AmfWriter::U32(uint32_t v) {
    Put32(FOut, v);
    return *this;
}

AmfWriter& AmfWriter::Name(const std::string& s) {
    FOut.push_back(uint8_t(s.size() >> 8));
    FOut.push_back(uint8_t(s.size()));
    FOut.insert(FOut.end(), s.begin(), s.end());
    return *this;
}

AmfWriter& AmfWriter::String(const std::string& s) { return Marker(2).Name(s); }

AmfWriter& AmfWriter::Number(double v) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    return Marker(0).U32(uint32_t(bits >> 32)).U32(uint32_t(bits));
}

AmfWriter& AmfWriter::Boolean(bool v) { return Marker(1).Marker(v ? 1 : 0); }

AmfWriter& AmfWriter::ObjectEnd() { return Marker(0).Marker(0).Marker(9); }

TestTag OnMetaDataTag(uint32_t timestamp, const std::vector<std::pair<std::string, double>>& values) {
    AmfWriter w;
    w.String("onMetaData").Marker(8).U32(uint32_t(values.size()));
    for (const auto& [name, value] : values) w.Name(name).Number(value);
    w.ObjectEnd();
    return {18, timestamp, w.Get()};
}

std::vector<TestTag> MediaTags(uint32_t lastMs, size_t videoSize, size_t audioSize) {
    std::vector<TestTag> tags;
    for (uint32_t t = 0; t <= lastMs; t += 40) {
        Bytes audio = AudioData(10, audioSize);
        audio[audioSize - 1] = uint8_t(t / 40);  // every tag distinct
        tags.push_back({8, t, audio});
        Bytes video = H263Data(320, 240, videoSize);
        video[videoSize - 1] = uint8_t(t / 40);
        tags.push_back({9, t, video});
    }
    return tags;
}

ParsedFlv ParseFlv(const Bytes& file) {
    ParsedFlv flv;
    if (file.size() < 13) throw std::runtime_error("file shorter than an FLV header");
    flv.header.assign(file.begin(), file.begin() + 9);
    size_t at = Get32(&file[5]);
    if (at + 4 > file.size()) throw std::runtime_error("data offset past the end");
    flv.prevTagSize0 = Get32(&file[at]);
    at += 4;
    while (file.size() - at >= 15) {
        const uint8_t* h = &file[at];
        ParsedTag tag;
        tag.type = h[0];
        tag.dataSize = Get24(h + 1);
        tag.timestamp = Get24(h + 4) | (uint32_t(h[7]) << 24);
        tag.streamId = Get24(h + 8);
        if (file.size() - at < tag.dataSize + 15u) break;
        tag.data.assign(h + 11, h + 11 + tag.dataSize);
        tag.prevTagSize = Get32(h + 11 + tag.dataSize);
        at += tag.dataSize + 15u;
        flv.tags.push_back(std::move(tag));
    }
    flv.trailingBytes = file.size() - at;
    return flv;
}

const AmfProperty* ParsedMeta::Find(const std::string& n) const {
    for (const AmfProperty& p : properties)
        if (p.name == n) return &p;
    return nullptr;
}

ParsedMeta ParseOnMetaData(const Bytes& data) {
    ParsedMeta meta;
    size_t at = 0;
    auto need = [&](size_t n) {
        if (data.size() - at < n) throw std::runtime_error("script data ends early");
    };
    auto text16 = [&] {
        need(2);
        size_t n = (size_t(data[at]) << 8) | data[at + 1];
        at += 2;
        need(n);
        std::string s(data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + n));
        at += n;
        return s;
    };
    need(1);
    if (data[at++] != 2) throw std::runtime_error("script data does not start with a string");
    meta.name = text16();
    need(5);
    if (data[at++] != 8) throw std::runtime_error("not an ECMA array");
    meta.declaredCount = Get32(&data[at]);
    at += 4;
    for (;;) {
        need(3);
        if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 9) {
            meta.endMarker = true;
            at += 3;
            break;
        }
        AmfProperty p;
        p.name = text16();
        need(1);
        p.marker = data[at++];
        if (p.marker == 0) {
            need(8);
            uint64_t bits = (uint64_t(Get32(&data[at])) << 32) | Get32(&data[at + 4]);
            p.number = std::bit_cast<double>(bits);
            at += 8;
        } else if (p.marker == 1) {
            need(1);
            p.boolean = data[at++] != 0;
        } else if (p.marker == 2) {
            p.text = text16();
        } else {
            throw std::runtime_error("unexpected AMF0 marker " + std::to_string(p.marker));
        }
        meta.properties.push_back(std::move(p));
    }
    meta.trailingBytes = data.size() - at;
    return meta;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "joiner-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + name);
}

Bytes ReadFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + name);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    TempDir io;
    const std::string outName = io.Path("stdout"), errName = io.Path("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0)
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    RunResult result;
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    Bytes out = ReadFile(outName), err = ReadFile(errName);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

RunResult RunJoiner(const std::vector<std::string>& args) { return Run(RUVEROV_PATH, args); }

}  // namespace cl::flvtest
