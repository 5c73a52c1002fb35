// What a request carries besides its method and address: a typed request
// header and an ordered list of body items (form fields, text, binary data,
// file uploads), from which it builds the header lines, the body stream and
// the body text; it also parses bodies back into items and builds the items
// of an HTML form.
//
// Work in progress: the members below are what the HTTP client relies on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "clHttpHeader.h"
#include "rtl/clComponent.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

class TclHttpRequest : public TComponent {
public:
    TclHttpRequest();
    ~TclHttpRequest() override;

    TclHttpRequestHeader& Header();
    // Copies the fields.
    void SetHeader(const TclHttpRequestHeader& AValue);

    // The header lines to send, built on first read and kept until the next change.
    const TStrings& HeaderSource();
    // Parses the lines into Header.
    void SetHeaderSource(const TStrings& AValue);
    // The body as text lines, built on first read and kept until the next change.
    const TStrings& RequestSource();
    void SetRequestSource(const TStrings& AValue);
    // A new stream holding the body, positioned at 0; the caller owns it.
    std::unique_ptr<TStream> RequestStream();
    // Parses a body into items.
    void SetRequestStream(TStream& AValue);
    // The number of bytes RequestStream yields.
    int64_t TotalSize();

    // Removes every item and clears the header (which keeps Accept "*/*").
    virtual void Clear();
    void Assign(const TclHttpRequest& ASource);
};

}  // namespace cl
