#include "AssWriter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace subtitles {
namespace {

// U+2060 WORD JOINER: invisible, and not a letter a tag name could start with.
constexpr std::string_view kWordJoiner = "\xE2\x81\xA0";

// Whole numbers as they are, others with one decimal. Written by hand:
// printf's floating-point path was a third of a conversion's time.
void AppendNumber(std::string& out, double v) {
    long long tenths = std::llround(v * 10);
    if (tenths < 0) {
        out += '-';
        tenths = -tenths;
    }
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, tenths / 10);
    out.append(buffer, end);
    if (tenths % 10 != 0) {
        out += '.';
        out += char('0' + tenths % 10);
    }
}

void AppendTwoDigits(std::string& out, long long v) {
    out += char('0' + v / 10);
    out += char('0' + v % 10);
}

// &HBBGGRR& as the override tags write colours.
void AppendColour(std::string& out, uint32_t rgb) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "&H";
    for (const int shift : {4, 0, 12, 8, 20, 16}) out += kHex[(rgb >> shift) & 0xF];
    out += '&';
}

bool IsDark(uint32_t rgb) {
    const double luma = 0.299 * ((rgb >> 16) & 0xFF) + 0.587 * ((rgb >> 8) & 0xFF) + 0.114 * (rgb & 0xFF);
    return luma < 64;
}

const char* StyleName(Mode mode) {
    switch (mode) {
        case Mode::ScrollLeft:
            return "Scroll";
        case Mode::ScrollRight:
            return "ScrollBack";
        case Mode::Top:
            return "Top";
        case Mode::Bottom:
            return "Bottom";
    }
    return "Scroll";
}

}  // namespace

void AppendAssTime(std::string& out, double seconds) {
    const long long cs = std::llround(std::max(0.0, seconds) * 100);
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, cs / 360000);
    out.append(buffer, end);
    out += ':';
    AppendTwoDigits(out, cs / 6000 % 60);
    out += ':';
    AppendTwoDigits(out, cs / 100 % 60);
    out += '.';
    AppendTwoDigits(out, cs % 100);
}

void AppendEscapedText(std::string& out, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '/':
                if (i + 1 < text.size() && text[i + 1] == 'n') {
                    out += "\\N";
                    ++i;
                } else {
                    out += c;
                }
                break;
            case '\n':
                out += "\\N";
                break;
            case '\t':
                out += ' ';
                break;
            case '{':
                out += "\\{";
                break;
            case '}':
                out += "\\}";
                break;
            case '\\':
                out += '\\';
                out += kWordJoiner;
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
        }
    }
}

AssWriter::AssWriter(AssLook look) : FLook(std::move(look)) {
    // A font name ends at a comma in a Style line.
    std::replace_if(
        FLook.font.begin(), FLook.font.end(), [](char c) { return c == ',' || (unsigned char)c < 0x20; }, ' ');
}

void AssWriter::AppendHeader(std::string& out) const {
    const int alpha = std::clamp(int(std::lround((1 - FLook.opacity) * 255)), 0, 255);
    char colours[96];
    std::snprintf(colours, sizeof colours, "&H%02XFFFFFF,&H%02XFFFFFF,&H%02X000000,&H%02X000000", alpha, alpha, alpha,
                  alpha);
    out +=
        "[Script Info]\n"
        "; Comments converted by cmt2ass\n"
        "ScriptType: v4.00+\n"
        "PlayResX: " +
        std::to_string(FLook.stageWidth) +
        "\n"
        "PlayResY: " +
        std::to_string(FLook.stageHeight) +
        "\n"
        "WrapStyle: 2\n"
        "ScaledBorderAndShadow: yes\n"
        "YCbCr Matrix: None\n"
        "\n"
        "[V4+ Styles]\n"
        "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
        "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
        "MarginR, MarginV, Encoding\n";
    // A thin outline keeps the text readable on bright and dark pictures.
    const double outline = std::max(1.0, FLook.fontPx / 25);
    const struct {
        Mode mode;
        int alignment;
    } kinds[] = {{Mode::ScrollLeft, 7}, {Mode::ScrollRight, 7}, {Mode::Top, 8}, {Mode::Bottom, 2}};
    for (const auto& kind : kinds) {
        out += "Style: ";
        out += StyleName(kind.mode);
        out += ',' + FLook.font + ',';
        AppendNumber(out, FLook.fontPx);
        out += ',';
        out += colours;
        out += ",0,0,0,0,100,100,0,0,1,";
        AppendNumber(out, outline);
        out += ",0," + std::to_string(kind.alignment) + ",0,0,0,1\n";
    }
    out += "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
}

void AssWriter::AppendEvent(std::string& out, const AssEvent& e) const {
    out += "Dialogue: 0,";
    AppendAssTime(out, e.start);
    out += ',';
    AppendAssTime(out, e.end);
    out += ',';
    out += StyleName(e.mode);
    out += ",,0,0,0,,{";
    if (e.mode == Mode::ScrollLeft || e.mode == Mode::ScrollRight) {
        out += "\\move(";
        AppendNumber(out, e.x1);
        out += ',';
        AppendNumber(out, e.y);
        out += ',';
        AppendNumber(out, e.x2);
        out += ',';
        AppendNumber(out, e.y);
        out += ')';
    } else {
        out += "\\pos(";
        AppendNumber(out, e.x1);
        out += ',';
        AppendNumber(out, e.y);
        out += ')';
    }
    if (e.colour != 0xFFFFFF) {
        out += "\\c";
        AppendColour(out, e.colour);
        if (IsDark(e.colour)) {
            out += "\\3c";
            AppendColour(out, 0xFFFFFF);
        }
    }
    if (e.fontPx > 0) {
        out += "\\fs";
        AppendNumber(out, e.fontPx);
    }
    out += '}';
    AppendEscapedText(out, e.text);
    out += '\n';
}

}  // namespace subtitles
