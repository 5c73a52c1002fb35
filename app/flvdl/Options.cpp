#include "Options.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <exception>
#include <fstream>

#include "CommandLine.h"
#include "transport/clCertificate.h"

namespace flvdl {

namespace {

constexpr const char* kHelp =
    "usage: flvdl [OPTIONS] PAGE_URL\n"
    "Downloads the videos of a page of the video site, joins the segments of each\n"
    "part, and fetches its comment files when asked.\n"
    "\n"
    "  -d, --dir DIR              save folder (default: the current folder)\n"
    "  -q, --quality Q            1080p, 720p, 480p or 360p (default 1080p)\n"
    "  -p, --parts LIST           which parts or episodes, by number: 1,3-5 (default: all)\n"
    "  -x, --threads N            connections per segment, 1 to 10 (default 5)\n"
    "  -j, --jobs N               segments at once, 1 to 20 (default 3)\n"
    "      --comments             also fetch each chosen part's comment file (.xml)\n"
    "      --ass                  also write each comment file as subtitles (.ass)\n"
    "      --no-join              keep a part's segments instead of joining them\n"
    "      --mp4                  turn each finished part into an MP4 file (no re-encoding)\n"
    "      --no-number            no number in front of the names\n"
    "      --cacert FILE          an extra trust anchor (repeatable)\n"
    "      --connect-to HOST:PORT:ADDR:PORT\n"
    "                             route a host and port to another address (repeatable)\n"
    "      --json                 a JSON summary on standard output at the end\n"
    "  -h, --help                 this text\n"
    "      --version              the version\n"
    "\n"
    "Exit status: 0 all chosen parts done, 1 some failed, 2 bad usage,\n"
    "3 the page could not be resolved, 130 interrupted.\n";

// Digits only, at most nine of them.
bool ParsePartNumber(const std::string& AText, int& ANumber) {
    return clcmdline::ParseNumber(AText, 1, 999999999, ANumber);
}

struct TOptionRule {
    const char* Long;
    char Short;  // 0: none
    bool TakesValue;
};

constexpr TOptionRule kRules[] = {
    {"dir", 'd', true},      {"quality", 'q', true}, {"parts", 'p', true},    {"threads", 'x', true},
    {"jobs", 'j', true},     {"comments", 0, false}, {"ass", 0, false},       {"no-join", 0, false},
    {"no-number", 0, false}, {"cacert", 0, true},    {"connect-to", 0, true}, {"json", 0, false},
    {"help", 'h', false},    {"version", 0, false},  {"mp4", 0, false},
};

const TOptionRule* FindLong(const std::string& AName) {
    for (const TOptionRule& rule : kRules)
        if (AName == rule.Long) return &rule;
    return nullptr;
}

const TOptionRule* FindShort(char AName) {
    for (const TOptionRule& rule : kRules)
        if (rule.Short != 0 && rule.Short == AName) return &rule;
    return nullptr;
}

// Applies one option with its value; an error text, or empty.
std::string Apply(const TOptionRule& ASpec, const std::string& AValue, TCommandLine& ALine) {
    TOptions& o = ALine.Options;
    const std::string name = ASpec.Long;
    if (name == "dir") {
        if (AValue.empty()) return "--dir: the folder name is empty";
        o.Folder = AValue;
    } else if (name == "quality") {
        for (int i = 0; i < 4; ++i) {
            if (QString::fromStdString(AValue).compare(QLatin1String(kQualityNames[i]), Qt::CaseInsensitive) == 0) {
                o.QualityIndex = i;
                return {};
            }
        }
        return "--quality: '" + AValue + "' is not one of 1080p, 720p, 480p, 360p";
    } else if (name == "parts") {
        const auto parts = TPartSelection::Parse(AValue);
        if (!parts) return "--parts: '" + AValue + "' is not a list of part numbers such as 1,3-5";
        o.Parts = *parts;
    } else if (name == "threads") {
        if (!clcmdline::ParseNumber(AValue, 1, 10, o.Threads)) return "--threads: '" + AValue + "' is not 1 to 10";
    } else if (name == "jobs") {
        if (!clcmdline::ParseNumber(AValue, 1, 20, o.Jobs)) return "--jobs: '" + AValue + "' is not 1 to 20";
    } else if (name == "comments") {
        o.Comments = true;
    } else if (name == "ass") {
        o.Comments = true;
        o.Subtitles = true;
    } else if (name == "no-join") {
        o.Join = false;
    } else if (name == "mp4") {
        o.Mp4 = true;
    } else if (name == "no-number") {
        o.Numbered = false;
    } else if (name == "cacert") {
        if (AValue.empty()) return "--cacert: the file name is empty";
        o.CaFiles.push_back(AValue);
    } else if (name == "connect-to") {
        cl::TclHostOverride entry;
        if (!clcmdline::ParseConnectTo(AValue, entry)) {
            return "--connect-to: '" + AValue + "' is not HOST:PORT:ADDR:PORT";
        }
        o.ConnectTo.push_back(entry);
    } else if (name == "json") {
        o.Json = true;
    } else if (name == "help") {
        ALine.Command = TCommand::Help;
    } else if (name == "version") {
        ALine.Command = TCommand::Version;
    }
    return {};
}

}  // namespace

std::optional<TPartSelection> TPartSelection::Parse(const std::string& AText) {
    TPartSelection selection;
    selection.FText = AText;
    size_t from = 0;
    for (;;) {
        const size_t comma = AText.find(',', from);
        const std::string field = AText.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        const size_t dash = field.find('-');
        TRange range;
        if (dash == std::string::npos) {
            if (!ParsePartNumber(field, range.First)) return std::nullopt;
            range.Last = range.First;
        } else if (!ParsePartNumber(field.substr(0, dash), range.First) ||
                   !ParsePartNumber(field.substr(dash + 1), range.Last) || range.Last < range.First) {
            return std::nullopt;
        }
        selection.FRanges.push_back(range);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return selection;
}

int TPartSelection::Highest() const {
    int highest = 0;
    for (const TRange& range : FRanges) highest = std::max(highest, range.Last);
    return highest;
}

bool TPartSelection::Contains(int ANumber) const {
    if (IsAll()) return true;
    for (const TRange& range : FRanges)
        if (ANumber >= range.First && ANumber <= range.Last) return true;
    return false;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments) {
    TCommandLine line;
    auto fail = [&line](std::string AError) {
        line.Command = TCommand::Usage;
        line.Error = std::move(AError);
        return line;
    };
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (size_t i = 0; i < AArguments.size(); ++i) {
        const std::string& arg = AArguments[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const TOptionRule* rule = nullptr;
        std::optional<std::string> value;
        std::string shown = arg;
        if (arg.starts_with("--")) {
            const size_t equals = arg.find('=');
            shown = arg.substr(0, equals);
            rule = FindLong(arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2));
            if (rule && equals != std::string::npos) {
                if (!rule->TakesValue) return fail(shown + " takes no value");
                value = arg.substr(equals + 1);
            }
        } else {
            shown = arg.substr(0, 2);
            rule = FindShort(arg[1]);
            if (rule && arg.size() > 2) {
                if (!rule->TakesValue) return fail("unknown option '" + arg + "'");
                value = arg.substr(2);
            }
        }
        if (!rule) return fail("unknown option '" + shown + "'");
        if (rule->TakesValue && !value) {
            if (i + 1 >= AArguments.size()) return fail(shown + " needs a value");
            value = AArguments[++i];
        }
        if (std::string error = Apply(*rule, value.value_or(std::string()), line); !error.empty()) {
            return fail(error);
        }
    }
    if (line.Command == TCommand::Help || line.Command == TCommand::Version) return line;
    if (operands.empty()) return fail("the page address is missing");
    if (operands.size() > 1) return fail("one page address only ('" + operands[1] + "' is one too many)");
    line.Options.PageUrl = operands.front();
    return line;
}

std::optional<QString> PrepareFolder(const std::string& AFolder, std::string& AError) {
    const QString path = QDir(QString::fromStdString(AFolder)).absolutePath();
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        AError = "--dir: '" + AFolder + "' is not a folder";
        return std::nullopt;
    }
    if (!info.exists() && !QDir().mkpath(path)) {
        AError = "--dir: the folder '" + AFolder + "' cannot be made";
        return std::nullopt;
    }
    // Writing a file there is the one sure test (access() says yes to root
    // on a read-only mount).
    QTemporaryFile probe(path + QStringLiteral("/.flvdl-XXXXXX"));
    if (!probe.open()) {
        AError = "--dir: the folder '" + AFolder + "' cannot be written";
        return std::nullopt;
    }
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

bool ApplyNetworkOptions(const TOptions& AOptions, std::string& AError) {
    for (const std::string& file : AOptions.CaFiles) {
        if (!std::ifstream(file).good()) {
            AError = "--cacert: '" + file + "' cannot be read";
            return false;
        }
    }
    try {
        clcmdline::ApplyNetworkOptions(AOptions.CaFiles, AOptions.ConnectTo);
    } catch (const std::exception& e) {
        AError = std::string("--cacert: ") + e.what();
        return false;
    }
    return true;
}

const char* HelpText() { return kHelp; }

}  // namespace flvdl
