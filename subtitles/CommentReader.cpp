#include "CommentReader.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace subtitles {
namespace {

// Comments later than this are taken as a broken time field.
constexpr double kLatestSeconds = 100.0 * 3600.0;
constexpr size_t kLongestReference = 10;  // "#x10FFFF" and the named ones fit

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

bool IsXmlChar(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t more;
        uint32_t cp, least;
        if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + more >= s.size()) return false;
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char d = s[i + k];
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

template <typename T>
bool ParseInteger(std::string_view s, T& value) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

const char* ReadErrorText(ReadError error) {
    switch (error) {
        case ReadError::None:
            return "";
        case ReadError::NotXml:
            return "not an XML document";
        case ReadError::NotComments:
            return "not a comment document (its root element is not <i>)";
        case ReadError::CutShort:
            return "the document is cut short";
        case ReadError::BadMarkup:
            return "the document is not well-formed (malformed markup)";
        case ReadError::MismatchedTag:
            return "the document is not well-formed (an end tag does not match its start tag)";
        case ReadError::BadReference:
            return "the document is not well-formed (an unknown or malformed reference)";
        case ReadError::AfterRoot:
            return "the document is not well-formed (content after the root element)";
    }
    return "";
}

bool ParseFields(std::string_view fields, Comment& comment, int& rawMode) {
    std::string_view part[4];
    for (int k = 0; k < 4; ++k) {
        const size_t comma = fields.find(',');
        if (comma == std::string_view::npos && k < 3) return false;
        part[k] = fields.substr(0, comma);
        fields = comma == std::string_view::npos ? std::string_view() : fields.substr(comma + 1);
    }
    double seconds = 0;
    auto [end, ec] = std::from_chars(part[0].data(), part[0].data() + part[0].size(), seconds);
    if (ec != std::errc() || end != part[0].data() + part[0].size() || !std::isfinite(seconds) || seconds < 0 ||
        seconds > kLatestSeconds)
        return false;
    int mode = 0, size = 0;
    uint32_t colour = 0;
    if (!ParseInteger(part[1], mode) || !ParseInteger(part[2], size) || !ParseInteger(part[3], colour)) return false;
    if (size < 1 || size > 999 || colour > 0xFFFFFF) return false;
    switch (mode) {
        case 1:
        case 2:
        case 3:
            comment.mode = Mode::ScrollLeft;
            break;
        case 4:
            comment.mode = Mode::Bottom;
            break;
        case 5:
            comment.mode = Mode::Top;
            break;
        case 6:
            comment.mode = Mode::ScrollRight;
            break;
        case 7:
        case 8:
            break;
        default:
            return false;
    }
    rawMode = mode;
    comment.seconds = seconds;
    comment.size = size;
    comment.colour = colour;
    return true;
}

bool CommentReader::Fail(ReadError fault, uint64_t at) {
    FState = State::Failed;
    FFault = fault;
    FError = std::string(ReadErrorText(fault)) + " (at byte " + std::to_string(at) + ")";
    return false;
}

void CommentReader::AppendData(std::string_view data) {
    if (FInEntry) FText.append(data);
}

bool CommentReader::Feed(std::string_view piece) {
    const char* const data = piece.data();
    const size_t size = piece.size();
    size_t i = 0;
    auto at = [&] { return FOffset + i; };
    while (i < size) {
        const unsigned char c = data[i];
        switch (FState) {
            case State::Prolog:
                if (c == '<') {
                    FMarkupReturn = State::Prolog;
                    FState = State::Markup;
                } else if (!IsBlank(c) && !(at() < 3 && (c == 0xEF || c == 0xBB || c == 0xBF))) {  // a byte order mark
                    return Fail(ReadError::NotXml, at());
                }
                ++i;
                break;

            case State::Content: {
                // The text up to the next markup or reference in one step.
                size_t stop = i;
                while (stop < size && data[stop] != '<' && data[stop] != '&') ++stop;
                AppendData(std::string_view(data + i, stop - i));
                i = stop;
                if (i == size) break;
                if (data[i] == '<') {
                    FMarkupReturn = State::Content;
                    FState = State::Markup;
                } else {
                    FReferenceReturn = State::Content;
                    FReference.clear();
                    FState = State::Reference;
                }
                ++i;
                break;
            }

            case State::Reference:
                if (c == ';') {
                    ++i;
                    if (!EndReference(at())) return false;
                    FState = FReferenceReturn;
                } else if (FReference.size() < kLongestReference && (IsNameChar(c) || c == '#') && c < 0x80) {
                    FReference += char(c);
                    ++i;
                } else {
                    return Fail(ReadError::BadReference, at());
                }
                break;

            case State::Markup:
                if (c == '/') {
                    if (FMarkupReturn != State::Content)
                        return Fail(FMarkupReturn == State::Prolog ? ReadError::NotXml : ReadError::AfterRoot, at());
                    FName.clear();
                    FState = State::EndName;
                } else if (c == '?') {
                    FTail = 0;
                    FState = State::Instruction;
                } else if (c == '!') {
                    FMatch.clear();
                    FState = State::Bang;
                } else if (IsNameStart(c)) {
                    if (FMarkupReturn == State::Epilog) return Fail(ReadError::AfterRoot, at());
                    FName.assign(1, char(c));
                    FState = State::StartName;
                } else {
                    return Fail(FMarkupReturn == State::Prolog ? ReadError::NotXml : ReadError::BadMarkup, at());
                }
                ++i;
                break;

            case State::StartName:
            case State::InTag:
                if (FState == State::StartName && IsNameChar(c)) {
                    FName += char(c);
                    ++i;
                    break;
                }
                if (FState == State::StartName) {
                    // The name is complete: is this one of the entries?
                    FElement = FName;
                    FTagIsEntry = FOpen.size() == 1 && FElement == "d";
                    FTagHasFields = false;
                    FTagFields.clear();
                    FState = State::InTag;
                }
                ++i;
                if (IsBlank(c)) break;
                if (c == '>') {
                    if (!OpenElement(false, at())) return false;
                } else if (c == '/') {
                    FState = State::EmptyEnd;
                } else if (IsNameStart(c)) {
                    FName.assign(1, char(c));
                    FState = State::AttrName;
                } else {
                    return Fail(ReadError::BadMarkup, at() - 1);
                }
                break;

            case State::EmptyEnd:
                ++i;
                if (c != '>') return Fail(ReadError::BadMarkup, at() - 1);
                if (!OpenElement(true, at())) return false;
                break;

            case State::AttrName:
            case State::AttrEquals:
                ++i;
                if (FState == State::AttrName && IsNameChar(c)) {
                    FName += char(c);
                } else if (c == '=') {
                    FState = State::AttrQuote;
                } else if (IsBlank(c)) {
                    FState = State::AttrEquals;
                } else {
                    return Fail(ReadError::BadMarkup, at() - 1);
                }
                break;

            case State::AttrQuote:
                ++i;
                if (c == '"' || c == '\'') {
                    FQuote = char(c);
                    FAttrValue.clear();
                    FState = State::AttrValue;
                } else if (!IsBlank(c)) {
                    return Fail(ReadError::BadMarkup, at() - 1);
                }
                break;

            case State::AttrValue: {
                const bool keep = FTagIsEntry && FName == "p";
                size_t stop = i;
                while (stop < size && data[stop] != FQuote && data[stop] != '&' && data[stop] != '<') ++stop;
                if (keep) FAttrValue.append(data + i, stop - i);
                i = stop;
                if (i == size) break;
                if (data[i] == '<') return Fail(ReadError::BadMarkup, at());
                ++i;
                if (data[i - 1] == '&') {
                    FReferenceReturn = State::AttrValue;
                    FReference.clear();
                    FState = State::Reference;
                } else {
                    if (keep) {
                        FTagHasFields = true;
                        FTagFields = FAttrValue;
                    }
                    FState = State::InTag;
                }
                break;
            }

            case State::EndName:
            case State::EndBlank:
                ++i;
                if (FState == State::EndName && (FName.empty() ? IsNameStart(c) : IsNameChar(c))) {
                    FName += char(c);
                } else if (c == '>' && !FName.empty()) {
                    if (!CloseElement(at() - 1)) return false;
                } else if (IsBlank(c) && !FName.empty()) {
                    FState = State::EndBlank;
                } else {
                    return Fail(ReadError::BadMarkup, at() - 1);
                }
                break;

            case State::Bang: {
                ++i;
                FMatch += char(c);
                static constexpr std::string_view kComment = "--", kCData = "[CDATA[", kDocType = "DOCTYPE";
                if (FMatch == kComment) {
                    FTail = 0;
                    FState = State::XmlComment;
                } else if (FMatch == kCData && FMarkupReturn == State::Content) {
                    FTail = 0;
                    FState = State::CData;
                } else if (FMatch == kDocType && FMarkupReturn == State::Prolog) {
                    FBrackets = 0;
                    FState = State::DocType;
                } else if (!kComment.starts_with(FMatch) && !kCData.starts_with(FMatch) &&
                           !kDocType.starts_with(FMatch)) {
                    return Fail(ReadError::BadMarkup, at() - 1);
                }
                break;
            }

            case State::XmlComment: {
                if (FTail == 0) {
                    const void* dash = std::memchr(data + i, '-', size - i);
                    if (!dash) {
                        i = size;
                        break;
                    }
                    i = static_cast<const char*>(dash) - data;
                }
                const unsigned char d = data[i++];
                if (d == '-')
                    ++FTail;
                else if (d == '>' && FTail >= 2)
                    FState = FMarkupReturn;
                else
                    FTail = 0;
                break;
            }

            case State::CData:
                ++i;
                if (c == ']') {
                    if (FTail == 2)
                        AppendData("]");
                    else
                        ++FTail;
                } else if (c == '>' && FTail == 2) {
                    FState = State::Content;
                } else {
                    if (FTail > 0) AppendData(std::string_view("]]", size_t(FTail)));
                    FTail = 0;
                    AppendData(std::string_view(data + i - 1, 1));
                }
                break;

            case State::DocType:
                ++i;
                if (c == '[')
                    ++FBrackets;
                else if (c == ']')
                    --FBrackets;
                else if (c == '>' && FBrackets <= 0)
                    FState = State::Prolog;
                break;

            case State::Instruction:
                ++i;
                if (c == '>' && FTail)
                    FState = FMarkupReturn;
                else
                    FTail = c == '?';
                break;

            case State::Epilog:
                if (c == '<') {
                    FMarkupReturn = State::Epilog;
                    FState = State::Markup;
                } else if (!IsBlank(c)) {
                    return Fail(ReadError::AfterRoot, at());
                }
                ++i;
                break;

            case State::Failed:
                return false;
        }
    }
    FOffset += size;
    return FState != State::Failed;
}

bool CommentReader::Finish() {
    if (FState == State::Failed) return false;
    if (FState == State::Epilog) return true;
    return Fail(FRootSeen || FState != State::Prolog ? ReadError::CutShort : ReadError::NotXml, FOffset);
}

bool CommentReader::OpenElement(bool empty, uint64_t at) {
    if (!FRootSeen) {
        FRootSeen = true;
        if (FElement != "i") return Fail(ReadError::NotComments, at);
    }
    if (FTagIsEntry) {
        FHasFields = FTagHasFields;
        FFields = FTagFields;
        FText.clear();
        if (empty) {
            TakeEntry();
        } else {
            FInEntry = true;
            FEntryDepth = FOpen.size() + 1;
        }
    }
    if (empty) {
        FState = FOpen.empty() ? State::Epilog : State::Content;
    } else {
        FOpen.push_back(FElement);
        FState = State::Content;
    }
    return true;
}

bool CommentReader::CloseElement(uint64_t at) {
    if (FOpen.empty() || FOpen.back() != FName) return Fail(ReadError::MismatchedTag, at);
    if (FInEntry && FOpen.size() == FEntryDepth) {
        TakeEntry();
        FInEntry = false;
    }
    FOpen.pop_back();
    FState = FOpen.empty() ? State::Epilog : State::Content;
    return true;
}

bool CommentReader::EndReference(uint64_t at) {
    uint32_t cp = 0;
    const std::string& r = FReference;
    if (r == "lt") {
        cp = '<';
    } else if (r == "gt") {
        cp = '>';
    } else if (r == "amp") {
        cp = '&';
    } else if (r == "quot") {
        cp = '"';
    } else if (r == "apos") {
        cp = '\'';
    } else if (r.size() >= 2 && r[0] == '#') {
        const bool hex = r[1] == 'x';
        std::string_view digits = std::string_view(r).substr(hex ? 2 : 1);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || !IsXmlChar(cp))
            return Fail(ReadError::BadReference, at);
    } else {
        return Fail(ReadError::BadReference, at);
    }
    if (FReferenceReturn == State::Content) {
        if (FInEntry) AppendUtf8(FText, cp);
    } else if (FTagIsEntry && FName == "p") {
        AppendUtf8(FAttrValue, cp);
    }
    return true;
}

void CommentReader::TakeEntry() {
    Comment comment;
    int rawMode = 0;
    if (!FHasFields || !ParseFields(FFields, comment, rawMode) || !IsValidUtf8(FText)) {
        ++FSkipped.unreadable;
    } else if (rawMode == 7) {
        ++FSkipped.positioned;
    } else if (rawMode == 8) {
        ++FSkipped.code;
    } else if (FText.find_first_not_of(" \t\r\n") == std::string::npos) {
        ++FSkipped.empty;
    } else {
        comment.text = std::move(FText);
        comment.order = static_cast<uint32_t>(FComments.size() + FSkipped.Total());
        FComments.push_back(std::move(comment));
    }
    FText.clear();
}

}  // namespace subtitles
