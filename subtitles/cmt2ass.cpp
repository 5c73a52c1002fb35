// cmt2ass: converts comment documents into ASS subtitles beside them.
// Exit status 0 when every file was converted, 1 when one was not, 2 on
// bad usage (nothing converted).
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Convert.h"

namespace {

const char kUsage[] =
    "usage: cmt2ass [-o OUT.ass] [-s WIDTHxHEIGHT] [--font NAME] [--font-size PX] [--alpha 0..1]\n"
    "               [--scroll-seconds S] [--fixed-seconds S] FILE.xml...\n"
    "Writes each FILE.xml as FILE.ass beside it (or as OUT.ass for a single file).\n"
    "The stage is 1920x1080 unless -s says otherwise; the font size is that of a\n"
    "normal comment, scaled from the stage height by default.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "cmt2ass: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

bool ParseDouble(std::string_view text, double& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool ParseStage(std::string_view text, subtitles::Stage& stage) {
    const size_t x = text.find_first_of("xX");
    if (x == std::string_view::npos) return false;
    auto whole = [](std::string_view s, int& v) {
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return !s.empty() && ec == std::errc() && end == s.data() + s.size();
    };
    return whole(text.substr(0, x), stage.width) && whole(text.substr(x + 1), stage.height);
}

std::string SkippedText(const subtitles::SkipCounts& s) {
    if (s.Total() == 0) return "skipped none";
    std::string text = "skipped " + std::to_string(s.Total()) + " (";
    const char* separator = "";
    auto add = [&](size_t n, const char* why) {
        if (n == 0) return;
        text += separator + std::to_string(n) + " " + why;
        separator = ", ";
    };
    add(s.positioned, "positioned by script");
    add(s.code, "code");
    add(s.unreadable, "with unreadable fields");
    add(s.empty, "empty");
    return text + ")";
}

}  // namespace

int main(int argc, char** argv) {
    subtitles::Options options;
    std::string output;
    std::vector<std::string> files;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::string value;
        const size_t equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else {
            static const char* const kTakesValue[] = {
                "-o", "-s", "--font", "--font-size", "--alpha", "--scroll-seconds", "--fixed-seconds"};
            bool known = false;
            for (const char* name : kTakesValue) known = known || arg == name;
            if (!known) return Usage("unknown option " + arg);
            if (i + 1 >= argc) return Usage(arg + " needs a value");
            value = argv[++i];
        }
        bool good = true;
        if (arg == "-o")
            output = value, good = !value.empty();
        else if (arg == "-s")
            good = ParseStage(value, options.stage);
        else if (arg == "--font")
            options.font = value;
        else if (arg == "--font-size")
            good = ParseDouble(value, options.fontSize) && options.fontSize >= 1;
        else if (arg == "--alpha")
            good = ParseDouble(value, options.alpha);
        else if (arg == "--scroll-seconds")
            good = ParseDouble(value, options.scrollSeconds);
        else if (arg == "--fixed-seconds")
            good = ParseDouble(value, options.fixedSeconds);
        else
            return Usage("unknown option " + arg);
        if (!good) return Usage("bad value for " + arg + ": " + value);
    }
    if (files.empty()) return Usage("no comment file given");
    if (!output.empty() && files.size() > 1) return Usage("-o takes one input file only");
    if (std::string problem = subtitles::CheckOptions(options); !problem.empty()) return Usage(problem);

    int status = 0;
    for (const std::string& file : files) {
        const std::string target = output.empty() ? subtitles::AssPathFor(file) : output;
        const subtitles::Result result = subtitles::ConvertFile(file, target, options);
        if (!result.ok) {
            std::fprintf(stderr, "cmt2ass: %s: %s\n", file.c_str(), result.error.c_str());
            status = 1;
            continue;
        }
        std::printf("%s: wrote %zu comment%s, %s\n", target.c_str(), result.written, result.written == 1 ? "" : "s",
                    SkippedText(result.skipped).c_str());
    }
    return status;
}
