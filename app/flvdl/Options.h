// flvdl's command line: the options and the page address read from the
// arguments, checked before anything goes out on the network. Every fault
// is one line of text for standard error, and the run ends with status 2.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "transport/clIpAddress.h"

namespace flvdl {

// Video numbers as written after --parts: "1,3-5". Numbers count from 1.
class TPartSelection {
public:
    // None for a malformed list (empty fields, a 0, a range that runs
    // backwards, anything but digits, "," and "-").
    static std::optional<TPartSelection> Parse(const std::string& AText);
    static TPartSelection All() { return TPartSelection(); }

    bool IsAll() const { return FRanges.empty(); }
    // The highest number named; 0 for all.
    int Highest() const;
    bool Contains(int ANumber) const;
    const std::string& Text() const { return FText; }

private:
    struct TRange {
        int First = 0;
        int Last = 0;
    };
    std::vector<TRange> FRanges;
    std::string FText;
};

// The four qualities of the window's list, in its order.
inline constexpr const char* kQualityNames[] = {"1080p", "720p", "480p", "360p"};

struct TOptions {
    std::string Folder = ".";
    int QualityIndex = 0;
    TPartSelection Parts;
    int Threads = 5;  // connections per segment
    int Jobs = 3;     // segments at once
    bool Comments = false;
    // Each stored comment file also as subtitles (.ass) beside its video.
    bool Subtitles = false;
    bool Join = true;
    // Each finished video also as an MP4 file; its FLV goes once the MP4 is checked.
    bool Mp4 = false;
    bool Numbered = true;
    bool Json = false;
    std::vector<std::string> CaFiles;
    std::vector<cl::TclHostOverride> ConnectTo;
    std::string PageUrl;
};

enum class TCommand { Run, Help, Version, Usage };

struct TCommandLine {
    TCommand Command = TCommand::Run;
    TOptions Options;
    std::string Error;  // with TCommand::Usage: what was wrong
};

// Reads argv[1..]. Long options take "--name VALUE" or "--name=VALUE",
// short ones "-d VALUE" or "-dVALUE"; "--" ends the options.
TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments);

// The folder made when missing and checked to be writable: its absolute
// path with a trailing "/", or none with AError set.
std::optional<QString> PrepareFolder(const std::string& AFolder, std::string& AError);

// Puts --cacert and --connect-to into effect; false with AError set when a
// certificate file cannot be read or holds no certificate.
bool ApplyNetworkOptions(const TOptions& AOptions, std::string& AError);

const char* HelpText();

}  // namespace flvdl
