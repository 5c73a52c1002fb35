// What the subtitle tests and the fuzz target check in written ASS text.
#pragma once

#include <string>
#include <string_view>

namespace subtitles::test {

// The Text field of a Dialogue line: everything after its ninth comma.
inline std::string_view DialogueText(std::string_view line) {
    size_t at = 0;
    for (int commas = 0; commas < 9; ++commas) {
        at = line.find(',', at);
        if (at == std::string_view::npos) return {};
        ++at;
    }
    return line.substr(at);
}

// True when the comment's share of a Dialogue text (what follows the
// writer's own leading override block) could open an override block or
// start a tag in an ASS reader: a '{' not escaped as "\{", or a backslash
// followed by anything but N, '{', '}' or the word joiner.
inline bool CommentTextCanFormTag(std::string_view text) {
    if (text.empty() || text[0] != '{') return true;
    const size_t own = text.find('}');
    if (own == std::string_view::npos) return true;
    const std::string_view rest = text.substr(own + 1);
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '{' || rest[i] == '\n' || rest[i] == '\r') return true;
        if (rest[i] != '\\') continue;
        const std::string_view next = rest.substr(i + 1);
        if (next.starts_with("N") || next.starts_with("{") || next.starts_with("}"))
            ++i;
        else if (!next.starts_with("\xE2\x81\xA0"))
            return true;
    }
    return false;
}

}  // namespace subtitles::test
