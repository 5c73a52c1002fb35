// Arbitrary Set-Cookie values: parsed, stored, selected for a request,
// written as a Cookie field, saved and loaded back; and arbitrary date texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/clCookieManager.h"
#include "http/clHttpDate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    using namespace cl;
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    try {
        (void)ParseHttpDate(text);
    } catch (const EConvertError&) {
    }
    TStringList header;
    header.SetText(text);
    for (int i = 0; i < header.Count(); ++i) header.Put(i, (i % 2 ? "Set-Cookie2: " : "Set-Cookie: ") + header[i]);
    TclCookieList received;
    received.GetResponseCookies(header, "www.vidsite.example", "/video/1?p=2", 443);
    TclCookieManager manager;
    manager.AddCookies(received);
    manager.AddCookies(received);
    TclCookieList selected;
    manager.GetCookies(selected, "www.vidsite.example", "/video/1?p=2", 443, true);
    TStringList request;
    try {
        selected.SetRequestCookies(request);
    } catch (const Exception&) {
        // a cookie text with a line break is refused by the field list
    }
    TMemoryStream stored;
    received.Save(stored);
    stored.SetPosition(0);
    TclCookieList back;
    back.Load(stored);
    if (back.Count() != received.Count()) std::abort();
    for (int i = 0; i < back.Count(); ++i) {
        if (back[i].Name != received[i].Name || back[i].CookieData != received[i].CookieData) std::abort();
    }
    // Loading arbitrary bytes fails cleanly or not at all.
    TMemoryStream raw;
    raw.WriteBuffer(AData, static_cast<int64_t>(ASize));
    raw.SetPosition(0);
    try {
        back.Load(raw);
    } catch (const EReadError&) {
    }
    return 0;
}
