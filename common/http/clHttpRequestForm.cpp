// Building a request from an HTML form: one item for each control the form
// would submit, and the address it posts to.
#include "http/clHttpRequest.h"

#include "http/clHttp.h"
#include "http/clHttpRequestInternal.h"
#include "http/clUriUtils.h"
#include "rtl/clStrUtils.h"

namespace cl {

using namespace httprequest;

std::string TclHttpRequest::BuildFormPostRequest(const TclHtmlForm& AForm) {
    ResetRequest();
    const bool multipart = SameText(AForm.EncType(), kMultipartFormData);
    Updating(*this, [&] {
        std::string radioName;  // the name of the radio run the previous control belongs to
        for (const TclHtmlControl& control : AForm.Controls()) {
            const std::string name = control.Attribute("name");
            if (name.empty()) continue;
            const std::string type = LowerCase(control.Attribute("type"));
            const std::string value = control.Attribute("value");
            const bool radio = control.TagName == "input" && type == "radio";
            if (control.TagName == "select" || control.TagName == "textarea") {
                AddFormField(name, std::string());
            } else if (control.TagName == "input") {
                if (type.empty() || type == "checkbox" || type == "hidden" || type == "password" || type == "text" ||
                    type == "submit") {
                    AddFormField(name, value);
                } else if (radio && radioName != name) {
                    AddFormField(name, std::string());
                } else if (type == "file") {
                    if (multipart) {
                        // Only the caller names local files: the page's value
                        // would upload whatever path the page chose.
                        AddSubmitFile(name, std::string());
                    } else {
                        AddFormField(name, value);
                    }
                }
            }
            radioName = radio ? name : std::string();
        }
    });
    return AForm.Action();
}

std::string TclHttpRequest::BuildFormPostRequest(const TStrings& AHtml) {
    ResetRequest();
    TclHtmlParser parser;
    parser.Parse(AHtml);
    if (parser.Forms().empty()) return std::string();
    const TclHtmlForm* form = nullptr;
    DoGetHtmlForm(&parser, form);
    return BuildFormPostRequest(form != nullptr ? *form : parser.Forms().front());
}

std::string TclHttpRequest::BuildFormPostRequest(TclHtmlParser& AParser, const std::string& AFormName) {
    ResetRequest();
    if (AParser.Forms().empty()) return std::string();
    const TclHtmlForm* form = AFormName.empty() ? &AParser.Forms().front() : AParser.FormByName(AFormName);
    return form != nullptr ? BuildFormPostRequest(*form) : std::string();
}

std::string TclHttpRequest::BuildFormPostRequest(const TStrings& AHtml, const std::string& AFormName) {
    TclHtmlParser parser;
    parser.Parse(AHtml);
    return BuildFormPostRequest(parser, AFormName);
}

std::string TclHttpRequest::BuildFormPostRequestByUrl(const std::string& AUrl) {
    TStringList html;
    {
        TclHttp http;
        http.Get(AUrl, html);
    }
    const std::string action = BuildFormPostRequest(html);
    TclHtmlParser parser;
    parser.Parse(html);
    // A form whose action is empty posts to the page itself; no form at all
    // gives no address.
    if (parser.Forms().empty()) return std::string();
    TclUrlParser url(Header().CharSet());
    url.Parse(AUrl, action);
    return url.AbsoluteUri();
}

}  // namespace cl
