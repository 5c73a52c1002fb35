// Reads a comment document: a root element <i> holding <d p="FIELDS">TEXT</d>
// entries. The bytes may come in pieces split anywhere; the reader keeps its
// place in named states and collects the entries it can show, counting
// those it cannot. A document that is not well-formed stops it with a
// message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace subtitles {

enum class Mode : uint8_t {
    ScrollLeft,   // 1, 2, 3: from right to left
    ScrollRight,  // 6: from left to right
    Bottom,       // 4
    Top,          // 5
};

struct Comment {
    double seconds = 0;  // when it appears
    Mode mode = Mode::ScrollLeft;
    int size = 25;  // 25 normal, 18 small, 36 large
    uint32_t colour = 0xFFFFFF;
    std::string text;    // entities decoded; "/n" still as written
    uint32_t order = 0;  // place in the document, for equal times
};

// Entries left out, by reason.
struct SkipCounts {
    size_t positioned = 0;  // mode 7
    size_t code = 0;        // mode 8
    size_t unreadable = 0;  // fields that do not parse, or an unknown mode
    size_t empty = 0;       // no text
    size_t Total() const { return positioned + code + unreadable + empty; }
};

// Why a document was refused; the texts are in ReadErrorText.
enum class ReadError {
    None,
    NotXml,         // does not start as an XML document
    NotComments,    // well-formed so far, but the root is not <i>
    CutShort,       // ended inside the document
    BadMarkup,      // a tag, comment or declaration that does not parse
    MismatchedTag,  // an end tag that closes another element
    BadReference,   // an unknown or malformed entity or character reference
    AfterRoot,      // text or elements after the root element
};
const char* ReadErrorText(ReadError error);

class CommentReader {
public:
    // Consumes a piece; false once the document is known not to be
    // well-formed (Error() says why), for this piece and all later ones.
    bool Feed(std::string_view piece);
    // The input has ended: false when the document is cut short.
    bool Finish();

    ReadError Fault() const { return FFault; }
    // The fault's text and where it was found, e.g. "the document is cut
    // short (at byte 1200)"; empty while there is none.
    const std::string& Error() const { return FError; }
    std::vector<Comment>& Comments() { return FComments; }
    const SkipCounts& Skipped() const { return FSkipped; }

private:
    enum class State {
        Prolog,     // before the root element: blanks, declarations, comments
        Content,    // character data inside an element
        Reference,  // after '&', collecting up to ';'
        Markup,     // after '<'
        StartName,  // an element's name
        InTag,      // between attributes of a start tag
        EmptyEnd,   // after '/' in a start tag, expecting '>'
        AttrName,
        AttrEquals,   // after an attribute's name, expecting '='
        AttrQuote,    // after '=', expecting a quote
        AttrValue,    // inside quotes
        EndName,      // after "</"
        EndBlank,     // after the end tag's name, expecting '>'
        Bang,         // after "<!": a comment, CDATA or a document type
        XmlComment,   // inside <!-- -->
        CData,        // inside <![CDATA[ ]]>
        DocType,      // inside <!DOCTYPE >, brackets counted
        Instruction,  // inside <? ?>
        Epilog,       // after the root element
        Failed,
    };

    bool Fail(ReadError fault, uint64_t at);
    bool OpenElement(bool empty, uint64_t at);
    bool CloseElement(uint64_t at);
    bool EndReference(uint64_t at);
    void AppendData(std::string_view data);
    void TakeEntry();

    State FState = State::Prolog;
    ReadError FFault = ReadError::None;
    std::string FError;
    State FReferenceReturn = State::Content;  // Content or AttrValue
    State FMarkupReturn = State::Content;     // Prolog, Content or Epilog
    uint64_t FOffset = 0;                     // bytes consumed before this piece
    std::string FName;                        // element or attribute name
    std::string FElement;                     // name of the start tag under way
    std::string FAttrValue;
    std::string FReference;
    std::string FMatch;  // "<!--", "[CDATA[", "DOCTYPE" as far as seen
    char FQuote = 0;
    int FTail = 0;                   // closing characters seen ("--", "]]", "?")
    int FBrackets = 0;               // DocType
    std::vector<std::string> FOpen;  // open elements, the root first
    bool FRootSeen = false;
    // The <d> entry being read: its p attribute and its text.
    bool FInEntry = false;
    size_t FEntryDepth = 0;
    bool FHasFields = false;
    std::string FFields;
    std::string FText;
    bool FTagIsEntry = false;
    bool FTagHasFields = false;
    std::string FTagFields;
    std::vector<Comment> FComments;
    SkipCounts FSkipped;
};

// The fields of a p attribute; false when they do not parse. Modes 7 and 8
// come back in `rawMode` with a true result so that they can be counted.
bool ParseFields(std::string_view fields, Comment& comment, int& rawMode);

}  // namespace subtitles
