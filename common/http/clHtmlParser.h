// A small HTML reader that yields the forms of a page, each with its
// attributes and its controls in document order. It tolerates the markup
// found in the wild: unclosed tags and forms, bare attributes, stray "<".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "rtl/clEvents.h"
#include "rtl/clStringList.h"

namespace cl {

// The attributes of one tag: lower-cased names, values with their character
// references decoded, in the order written; a repeated name keeps its first value.
class TclHtmlAttributes {
public:
    // Empty when absent.
    std::string Value(const std::string& AName) const;
    bool Has(const std::string& AName) const;
    int Count() const { return static_cast<int>(FList.size()); }
    const std::pair<std::string, std::string>& operator[](int AIndex) const { return FList.at(AIndex); }
    // Keeps the first value of a name.
    void Add(const std::string& AName, const std::string& AValue);

private:
    std::vector<std::pair<std::string, std::string>> FList;
};

// A form control: input, select, textarea or button.
class TclHtmlControl {
public:
    std::string TagName;  // lower case
    TclHtmlAttributes Attributes;

    std::string Attribute(const std::string& AName) const { return Attributes.Value(AName); }
};

class TclHtmlForm : public TObject {
public:
    const TclHtmlAttributes& Attributes() const { return FAttributes; }
    std::string Attribute(const std::string& AName) const { return FAttributes.Value(AName); }
    std::string Action() const { return Attribute("action"); }
    std::string EncType() const { return Attribute("enctype"); }
    std::string Method() const { return Attribute("method"); }
    // The "name" attribute, else the "id".
    std::string FormName() const;
    const std::vector<TclHtmlControl>& Controls() const { return FControls; }

private:
    friend class TclHtmlParser;
    TclHtmlAttributes FAttributes;
    std::vector<TclHtmlControl> FControls;
};

class TclHtmlParser : public TObject {
public:
    // Each parse replaces the forms of the previous one.
    void Parse(const TStrings& AHtml);
    void Parse(const std::string& AHtml);

    // In document order.
    const std::vector<TclHtmlForm>& Forms() const { return FForms; }
    // The first form whose name equals AName ignoring case, or nullptr.
    const TclHtmlForm* FormByName(const std::string& AName) const;

private:
    void StartTag(const std::string& ATagName, TclHtmlAttributes&& AAttributes);
    void EndTag(const std::string& ATagName);

    std::vector<TclHtmlForm> FForms;
    bool FInForm = false;
};

// Decodes the character references of an attribute value or text: the named
// ones amp, lt, gt, quot, apos and nbsp, and &#NN; / &#xNN;. Anything else
// stays as written.
std::string DecodeHtmlEntities(const std::string& AText);

}  // namespace cl
