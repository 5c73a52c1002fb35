#include "http/clHtmlParser.h"

#include <cctype>

#include "rtl/clStrUtils.h"

namespace cl {

namespace {

bool IsSpace(char AChar) { return AChar == ' ' || AChar == '\t' || AChar == '\r' || AChar == '\n' || AChar == '\f'; }

bool IsAlpha(char AChar) { return std::isalpha(static_cast<unsigned char>(AChar)) != 0; }

bool IsTagNameChar(char AChar) {
    return std::isalnum(static_cast<unsigned char>(AChar)) != 0 || AChar == '-' || AChar == ':' || AChar == '_';
}

// A numeric reference starting at APos (just after "&#"). Returns the
// position after it, or APos - 2 (nothing consumed) when no digit follows.
size_t DecodeNumericReference(const std::string& AText, size_t APos, std::string& AOut) {
    const size_t start = APos - 2;
    int base = 10;
    if (APos < AText.size() && (AText[APos] == 'x' || AText[APos] == 'X')) {
        base = 16;
        ++APos;
    }
    uint32_t code = 0;
    size_t digits = 0;
    while (APos < AText.size()) {
        const char c = AText[APos];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            break;
        }
        // Saturate above the last code point, however long the digit run.
        if (code <= 0x10FFFF) code = code * base + d;
        ++digits;
        ++APos;
    }
    if (digits == 0) return start;
    if (APos < AText.size() && AText[APos] == ';') ++APos;
    // No character, a surrogate or past the last code point: the replacement character.
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    AppendUtf8(AOut, code);
    return APos;
}

}  // namespace

std::string DecodeHtmlEntities(const std::string& AText) {
    static const std::pair<const char*, const char*> kNamed[] = {
        {"amp;", "&"}, {"lt;", "<"}, {"gt;", ">"}, {"quot;", "\""}, {"apos;", "'"}, {"nbsp;", "\xC2\xA0"},
    };
    std::string out;
    out.reserve(AText.size());
    size_t i = 0;
    while (i < AText.size()) {
        if (AText[i] != '&') {
            out += AText[i++];
            continue;
        }
        if (i + 1 < AText.size() && AText[i + 1] == '#') {
            const size_t next = DecodeNumericReference(AText, i + 2, out);
            if (next != i) {
                i = next;
                continue;
            }
        } else {
            bool found = false;
            for (const auto& [name, text] : kNamed) {
                if (AText.compare(i + 1, std::char_traits<char>::length(name), name) == 0) {
                    out += text;
                    i += 1 + std::char_traits<char>::length(name);
                    found = true;
                    break;
                }
            }
            if (found) continue;
        }
        out += AText[i++];
    }
    return out;
}

void TclHtmlAttributes::Add(const std::string& AName, const std::string& AValue) {
    if (!Has(AName)) FList.emplace_back(AName, AValue);
}

bool TclHtmlAttributes::Has(const std::string& AName) const {
    for (const auto& item : FList) {
        if (item.first == AName) return true;
    }
    return false;
}

std::string TclHtmlAttributes::Value(const std::string& AName) const {
    for (const auto& item : FList) {
        if (item.first == AName) return item.second;
    }
    return std::string();
}

std::string TclHtmlForm::FormName() const { return FAttributes.Has("name") ? Attribute("name") : Attribute("id"); }

const TclHtmlForm* TclHtmlParser::FormByName(const std::string& AName) const {
    for (const TclHtmlForm& form : FForms) {
        if (SameText(form.FormName(), AName)) return &form;
    }
    return nullptr;
}

void TclHtmlParser::Parse(const TStrings& AHtml) { Parse(AHtml.Text()); }

// One pass over the text: every "<" that opens a tag is read as one, all
// other text is skipped. The position moves forward on every step, so any
// input ends.
void TclHtmlParser::Parse(const std::string& AHtml) {
    FForms.clear();
    FInForm = false;
    const std::string& s = AHtml;
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const size_t lt = s.find('<', i);
        if (lt == std::string::npos) break;
        i = lt + 1;
        if (i >= n) break;
        if (s.compare(lt, 4, "<!--") == 0) {
            const size_t end = s.find("-->", lt + 4);
            i = end == std::string::npos ? n : end + 3;
            continue;
        }
        // Doctype, CDATA, processing instructions: up to the next ">".
        if (s[i] == '!' || s[i] == '?') {
            const size_t end = s.find('>', i);
            i = end == std::string::npos ? n : end + 1;
            continue;
        }
        const bool isEnd = s[i] == '/';
        if (isEnd) ++i;
        if (i >= n || !IsAlpha(s[i])) {
            // "</ x>" is a bogus comment; a "<" before anything else is text.
            if (isEnd) {
                const size_t end = s.find('>', i);
                i = end == std::string::npos ? n : end + 1;
            }
            continue;
        }
        const size_t nameStart = i;
        while (i < n && IsTagNameChar(s[i])) ++i;
        const std::string tagName = LowerCase(std::string_view(s).substr(nameStart, i - nameStart));

        TclHtmlAttributes attributes;
        while (i < n) {
            while (i < n && (IsSpace(s[i]) || s[i] == '/')) ++i;
            if (i >= n) break;
            if (s[i] == '>') {
                ++i;
                break;
            }
            // The name takes at least one character, so a stray "=" or quote
            // cannot stall the loop.
            const size_t attrStart = i++;
            while (i < n && !IsSpace(s[i]) && s[i] != '/' && s[i] != '>' && s[i] != '=') ++i;
            const std::string attrName = LowerCase(std::string_view(s).substr(attrStart, i - attrStart));
            size_t j = i;
            while (j < n && IsSpace(s[j])) ++j;
            std::string value;
            if (j < n && s[j] == '=') {
                i = j + 1;
                while (i < n && IsSpace(s[i])) ++i;
                if (i < n && (s[i] == '"' || s[i] == '\'')) {
                    // An unclosed quote runs to the end of the text, as browsers read it.
                    const size_t close = s.find(s[i], i + 1);
                    const size_t stop = close == std::string::npos ? n : close;
                    value = s.substr(i + 1, stop - i - 1);
                    i = close == std::string::npos ? n : close + 1;
                } else {
                    const size_t valueStart = i;
                    while (i < n && !IsSpace(s[i]) && s[i] != '>') ++i;
                    value = s.substr(valueStart, i - valueStart);
                }
            }
            attributes.Add(attrName, DecodeHtmlEntities(value));
        }

        if (isEnd) {
            EndTag(tagName);
            continue;
        }
        StartTag(tagName, std::move(attributes));
        // Text of these elements is not markup: skip to their end tag.
        if (tagName == "script" || tagName == "style" || tagName == "textarea" || tagName == "title") {
            const size_t end = FindText("</" + tagName, s, i);
            i = end == std::string::npos ? n : end;
        }
    }
}

void TclHtmlParser::StartTag(const std::string& ATagName, TclHtmlAttributes&& AAttributes) {
    if (ATagName == "form") {
        // A form inside a form is ignored; its controls belong to the outer one.
        if (FInForm) return;
        FForms.emplace_back();
        FForms.back().FAttributes = std::move(AAttributes);
        FInForm = true;
        return;
    }
    if (!FInForm) return;
    if (ATagName == "input" || ATagName == "select" || ATagName == "textarea" || ATagName == "button") {
        TclHtmlControl control;
        control.TagName = ATagName;
        control.Attributes = std::move(AAttributes);
        FForms.back().FControls.push_back(std::move(control));
    }
}

void TclHtmlParser::EndTag(const std::string& ATagName) {
    if (ATagName == "form") FInForm = false;
}

}  // namespace cl
