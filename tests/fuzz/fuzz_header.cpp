// Header lines from arbitrary bytes: parsed into typed headers, written
// back, and edited through the field list (items looked up, added, removed).
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/clHeaderFieldList.h"
#include "http/clHttpHeader.h"
#include "rtl/clException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    using namespace cl;
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    TStringList lines;
    lines.SetText(text);

    TclHttpResponseHeader response;
    response.ParseHeader(lines);
    TStringList written;
    response.AssignHeader(written);
    TclHttpRequestHeader request;
    request.ParseHeader(lines);
    request.AssignHeader(written);

    TclHeaderFieldList list;
    list.SetCharsPerLine(ASize % 3 == 0 ? 0 : static_cast<int>(ASize % 40) + 1);
    list.Parse(0, lines);
    const std::string item = text.substr(0, std::min<size_t>(ASize, 6));
    for (int i = 0; i < list.FieldList().Count() && i < 8; ++i) {
        const std::string value = list.GetFieldValue(i);
        (void)list.GetFieldValueItem(value, item);
        (void)list.GetFieldValueItem(value, "");
        (void)list.GetFieldValueItem(value, "name");
    }
    try {
        if (list.FieldList().Count() > 0) {
            list.RemoveFieldItem(0, item);
            list.ClearFieldItem(0, "charset");
            list.AddFieldItem(0, "boundary", "----x");
            list.AddQuotedFieldItem(0, "name", item);
        }
        list.AddField("X-Fuzz", item);
        list.AddArrayField("Allow", std::vector<std::string>{item, "GET", item});
        list.RemoveField(std::string("x-fuzz"));
        list.AddEndOfHeader();
    } catch (const EAssertionFailed&) {
        // line breaks in the item: refused by design
    }
    return 0;
}
