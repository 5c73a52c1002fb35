// Arbitrary bytes as a comment document, or as the text of one entry in a
// good document: the conversion must not crash, and every written line
// after the events' format line must be a single Dialogue line whose
// comment text can open no override block and start no tag.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "../subtitles/AssCheck.h"
#include "Convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
    // The first byte chooses: the bytes as the document, or as an entry's text.
    const std::string document =
        AData[0] & 1 ? bytes : "<i><d p=\"1,1,25,255\">" + bytes + "</d><d p=\"2,5,36,0\">x</d></i>";
    std::string ass;
    const subtitles::Result result = subtitles::ConvertText(document, ass);
    if (!result.ok) {
        if (!ass.empty() || result.error.empty()) std::abort();
        return 0;
    }
    std::istringstream lines(ass);
    bool events = false;
    size_t dialogues = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!events) {
            events = line.starts_with("Format: Layer,");
            continue;
        }
        if (!line.starts_with("Dialogue: ")) std::abort();
        if (subtitles::test::CommentTextCanFormTag(subtitles::test::DialogueText(line))) std::abort();
        ++dialogues;
    }
    if (dialogues != result.written) std::abort();
    return 0;
}
