#include "http/clHttpRequest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "rtl/clTranslator.h"
#include "rtl/clException.h"
#include "support/ChunkedReadStream.h"

using namespace cl;

namespace {

std::string ReadText(TStream& AStream) {
    std::string result;
    char buf[4096];
    for (int64_t n; (n = AStream.Read(buf, sizeof(buf))) > 0;) result.append(buf, static_cast<size_t>(n));
    return result;
}

std::string Body(TclHttpRequest& ARequest) { return ReadText(*ARequest.RequestStream()); }

std::string HeaderValue(TclHttpRequest& ARequest, const std::string& AName) {
    TStringList lines(ARequest.HeaderSource());
    TclHeaderFieldList fields;
    fields.Parse(0, lines);
    return fields.GetFieldValue(AName);
}

using TChunkedStream = cltest::TChunkedReadStream;

class TTempFile {
public:
    explicit TTempFile(const std::string& AData = std::string()) {
        char name[] = "/tmp/clHttpRequest_testXXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        Name = name;
        TFileStream(Name, fmCreate).WriteBuffer(AData);
    }
    ~TTempFile() { std::remove(Name.c_str()); }
    std::string Read() const {
        TFileStream f(Name, fmOpenRead);
        return ReadText(f);
    }
    std::string Name;
};

std::unique_ptr<TStream> StreamOf(const std::string& AData) {
    auto result = std::make_unique<TMemoryStream>();
    result->WriteBuffer(AData);
    return result;
}

// Parsed items, with the bytes that OnDataAdded reported for each.
struct TParsed {
    TclHttpRequest Request;
    std::map<TclHttpRequestItem*, std::string> Data;

    TParsed() {
        Request.OnSaveData = [](TObject*, TclHttpRequestItem*, std::unique_ptr<TStream>& AData) {
            AData = std::make_unique<TMemoryStream>();
        };
        Request.OnDataAdded = [this](TObject*, TclHttpRequestItem* AItem, TStream* AData) {
            Data[AItem] = ReadText(*AData);
        };
    }
};

}  // namespace

TEST(HttpRequestHeader, EmptyRequestSendsOnlyItsOwnHeaderFields) {
    TclHttpRequest request;
    request.Header().SetReferer("https://www.vidsite.example/");
    EXPECT_EQ(request.HeaderSource().Lines(),
              (std::vector<std::string>{"Accept: */*", "Referer: https://www.vidsite.example/"}));
    EXPECT_EQ(request.TotalSize(), 0);
    EXPECT_EQ(request.RequestSource().Count(), 0);
    EXPECT_EQ(Body(request), "");
}

TEST(HttpRequestForm, FieldsAreFormEncodedAndJoined) {
    TclHttpRequest request;
    request.AddFormField("q", "a b&c");
    EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
    EXPECT_EQ(Body(request), "q=a+b%26c");
    EXPECT_EQ(request.TotalSize(), 9);
    EXPECT_EQ(HeaderValue(request, "Content-Length"), "9");

    request.Clear();
    request.AddFormField("a", "1");
    request.AddFormField("b", "2");
    EXPECT_EQ(request.RequestSource().Lines(), std::vector<std::string>{"a=1&b=2"});
    EXPECT_EQ(request.Header().Accept(), "*/*");
}

TEST(HttpRequestForm, EncodingKeepsOnlyLettersDigitsAndFourMarks) {
    TclHttpRequest request;
    request.AddFormField("k", "aZ09*-._ ~!'()\n/:=");
    EXPECT_EQ(Body(request), "k=aZ09*-._+%7E%21%27%28%29%0A%2F%3A%3D");
}

TEST(HttpRequestForm, NonAsciiIsEncodedFromTheCharsetBytes) {
    TclHttpRequest request;
    request.AddFormField("n", "caf\xC3\xA9");
    EXPECT_EQ(Body(request), "n=caf%E9");  // the ANSI code page
    request.Header().SetCharSet("utf-8");
    EXPECT_EQ(Body(request), "n=caf%C3%A9");
    EXPECT_EQ(HeaderValue(request, "Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
}

TEST(HttpRequestForm, UncanonicalizedFieldIsSentAsWritten) {
    TclHttpRequest request;
    request.AddFormField("a", "x=1&y")->SetCanonicalized(false);
    EXPECT_EQ(Body(request), "a=x=1&y");
    EXPECT_EQ(request.TotalSize(), 7);
}

TEST(HttpRequestContentType, ItemsDecideUnlessSetAfterwards) {
    TclHttpRequest request;
    request.Header().SetContentType("text/plain");
    request.AddFormField("a", "1");
    EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
    request.Header().SetContentType("text/plain");
    EXPECT_EQ(request.Header().ContentType(), "text/plain");

    // A text item with a field: no content type, and the field sends nothing.
    TclHttpRequest mixed;
    mixed.AddTextData("hello");
    mixed.AddFormField("a", "1");
    EXPECT_EQ(mixed.Header().ContentType(), "");
    EXPECT_EQ(Body(mixed), "hello");
    EXPECT_EQ(mixed.TotalSize(), 5);
    // Deleting the text leaves a form again.
    mixed.Items().Delete(0);
    EXPECT_EQ(mixed.Header().ContentType(), "application/x-www-form-urlencoded");
}

TEST(HttpRequestMultipart, FieldAndFileMakeADelimitedBody) {
    TTempFile file(std::string("FILE\0\xFF", 6));
    TclHttpRequest request;
    request.AddFormField("f", "v");
    request.AddSubmitFile("up", file.Name);
    const std::string contentType = HeaderValue(request, "Content-Type");
    const std::string boundary = request.Header().Boundary();
    ASSERT_EQ(boundary.size(), 39u);
    EXPECT_EQ(boundary.find_first_not_of('-'), 27u);
    EXPECT_EQ(contentType, "multipart/form-data; boundary=" + boundary);

    const std::string shortName = file.Name.substr(file.Name.rfind('/') + 1);
    const std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n--" +
                                 boundary + "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"" + shortName +
                                 "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + file.Read() + "\r\n--" +
                                 boundary + "--\r\n";
    EXPECT_EQ(Body(request), expected);
    EXPECT_EQ(request.Header().Boundary(), boundary);  // the same one for header and body
    EXPECT_EQ(request.TotalSize(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(HeaderValue(request, "Content-Length"), std::to_string(expected.size()));
}

TEST(HttpRequestMultipart, BoundarySetFromOutsideDoesNotSurviveAChange) {
    TclHttpRequest request;
    request.AddSubmitFile("a", "x");
    request.Header().SetBoundary("mine");
    EXPECT_EQ(request.Header().Boundary(), "");
    // Parsed header lines keep theirs.
    request.SetHeaderSource(TStringList{"Content-Type: multipart/form-data; boundary=given"});
    EXPECT_EQ(request.Header().Boundary(), "given");
}

TEST(HttpRequestSize, TotalSizeAlwaysEqualsTheBytesOfTheBody) {
    TTempFile file(std::string(10000, 'x'));
    TclHttpRequest request;
    request.OnLoadData = [](TObject*, TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData) {
        if (AItem->Tag() == 1) AData = StreamOf("binary\r\n--");
    };
    auto check = [&](const char* AWhat) {
        EXPECT_EQ(request.TotalSize(), static_cast<int64_t>(Body(request).size())) << AWhat;
    };
    request.AddBinaryData()->SetTag(1);
    request.AddTextData("t\xC3\xA9xt");
    check("text and binary");
    request.Header().SetCharSet("utf-8");
    check("charset changed");
    request.AddFormField("a", "b c");
    request.AddSubmitFile("f", file.Name);
    check("multipart");
    request.Header().SetContentType("application/x-www-form-urlencoded");
    check("form type set by hand");
    request.Header().SetContentType("multipart/mixed");
    request.SetHeaderSource(TStringList{"Content-Type: multipart/mixed; boundary=\xC3\xA9short"});
    check("parsed non-ASCII boundary");
    request.Items().Clear();
    request.Header().SetContentType("multipart/form-data");
    check("multipart without items");
}

TEST(HttpRequestSize, UnreadableFileFailsAndSaveKeepsTheOldFile) {
    TTempFile target("precious");
    TclHttpRequest request;
    request.AddSubmitFile("f", "/nonexistent/dir/file.bin");
    EXPECT_THROW(request.RequestStream(), EFOpenError);
    EXPECT_THROW(request.TotalSize(), EFOpenError);
    EXPECT_THROW(request.SaveRequest(target.Name), EFOpenError);
    EXPECT_EQ(target.Read(), "precious");
    EXPECT_THROW(request.LoadRequest("/nonexistent/dir/body"), EFOpenError);
}

TEST(HttpRequestUpdate, ChangesAreBatchedAndCachesRebuilt) {
    TclHttpRequest request;
    int changes = 0;
    request.OnChanged = [&](TObject*) { ++changes; };
    request.BeginUpdate();
    request.AddFormField("a", "1");
    request.Header().SetUserAgent("x");
    request.EndUpdate();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(request.RequestSource().Lines(), std::vector<std::string>{"a=1"});
    static_cast<TclFormFieldRequestItem&>(request.Items()[0]).SetFieldValue("22");
    EXPECT_EQ(request.RequestSource().Lines(), std::vector<std::string>{"a=22"});
    EXPECT_EQ(HeaderValue(request, "Content-Length"), "4");
}

TEST(HttpRequestItems, ListOwnsItemsAndHandsThemBack) {
    TclHttpRequest request;
    request.AddFormField("One", "1");
    request.AddTextData("t");
    request.AddFormField("two", "2");
    EXPECT_EQ(request.Items().FormFieldByName("TWO")->FieldValue(), "2");
    EXPECT_EQ(request.Items().FormFieldByName("t"), nullptr);
    request.Items().Move(2, 0);
    EXPECT_EQ(request.Items().FormFieldByName("two"), &request.Items()[0]);

    std::unique_ptr<TclHttpRequestItem> taken = request.Items().Delete(2);
    EXPECT_EQ(taken->Owner(), nullptr);
    EXPECT_EQ(request.Items().Count(), 2);
    EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
    EXPECT_EQ(Body(request), "two=2&One=1");
    EXPECT_THROW(request.Items().Delete(5), Exception);

    TclHttpRequest copy;
    copy.AddTextData("old");
    copy.Assign(request);
    ASSERT_EQ(copy.Items().Count(), 2);
    EXPECT_NE(&copy.Items()[0], &request.Items()[0]);
    EXPECT_EQ(Body(copy), "two=2&One=1");
    copy.Assign(copy);
    EXPECT_EQ(Body(copy), "two=2&One=1");
}

TEST(HttpRequestItems, ResetKeepsCharsetAndJsonSetsIts) {
    TclHttpRequest request;
    request.Header().SetCharSet("koi8-r");
    request.AddFormField("a", "1");
    request.ResetRequest();
    EXPECT_EQ(request.Items().Count(), 0);
    EXPECT_EQ(request.Header().CharSet(), "koi8-r");
    request.BuildJSONRequest("{\"k\":\"\xE4\xB8\xAD\"}");
    EXPECT_EQ(HeaderValue(request, "Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(Body(request), "{\"k\":\"\xE4\xB8\xAD\"}");
}

TEST(HttpRequestParse, FormBodySplitsAtAmpersandsAndRoundTrips) {
    TclHttpRequest request;
    request.Header().SetContentType("application/x-www-form-urlencoded");
    request.SetRequestSource(TStringList{"x=1&&y=2"});
    ASSERT_EQ(request.Items().Count(), 3);
    auto field = [&](int i) -> TclFormFieldRequestItem& {
        return static_cast<TclFormFieldRequestItem&>(request.Items()[i]);
    };
    EXPECT_EQ(field(0).FieldName() + "=" + field(0).FieldValue(), "x=1");
    EXPECT_EQ(field(1).FieldName() + "=" + field(1).FieldValue(), "=");
    EXPECT_EQ(field(2).FieldName() + "=" + field(2).FieldValue(), "y=2");

    // Encoded text comes back unchanged, not encoded a second time.
    request.SetRequestSource(TStringList{"q=a+b%26c&last&"});
    EXPECT_EQ(request.Items().Count(), 2);
    EXPECT_EQ(Body(request), "q=a+b%26c&last=");
}

TEST(HttpRequestParse, TextThatOnlyLooksMultipartStaysText) {
    TclHttpRequest request;
    request.SetRequestSource(TStringList{"-- not a boundary", "body"});
    ASSERT_EQ(request.Items().Count(), 1);
    EXPECT_EQ(static_cast<TclTextRequestItem&>(request.Items()[0]).TextData(), "-- not a boundary\r\nbody\r\n");
    EXPECT_EQ(request.Header().Boundary(), "");
}

TEST(HttpRequestParse, MultipartEdgesKeepDataAndIgnoreEpilogue) {
    TParsed parsed;
    TStringStream cut(
        "--b\r\nContent-Disposition: attachment\r\n\r\nplain\r\n--b\r\n"
        "Content-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--b--\r\n\r\n\r\nepilogue\r\n\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"late\"\r\n\r\n2");
    parsed.Request.SetRequestStream(cut);
    ASSERT_EQ(parsed.Request.Items().Count(), 2);
    EXPECT_EQ(static_cast<TclTextRequestItem&>(parsed.Request.Items()[0]).TextData(), "plain");
    EXPECT_EQ(parsed.Request.Header().ContentType(), "");

    // A body cut inside a file section keeps what arrived, held-back bytes included.
    TStringStream truncated("--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\ndata\r\n-");
    parsed.Request.SetRequestStream(truncated);
    ASSERT_EQ(parsed.Request.Items().Count(), 1);
    EXPECT_EQ(parsed.Data[&parsed.Request.Items()[0]], "data\r\n-");
    EXPECT_EQ(parsed.Request.Header().ContentType(), "multipart/form-data");

    // Received file names lose their folders, whichever separator they use.
    TStringStream named(
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"../../etc/passwd\"\r\n\r\n\r\n--b\r\n"
        "Content-Disposition: form-data; name=\"g\"; filename=\"C:\\dir\\x.bin\"\r\n\r\n\r\n--b--");
    parsed.Request.SetRequestStream(named);
    ASSERT_EQ(parsed.Request.Items().Count(), 2);
    EXPECT_EQ(dynamic_cast<TclSubmitFileRequestItem&>(parsed.Request.Items()[0]).FileName(), "passwd");
    EXPECT_EQ(dynamic_cast<TclSubmitFileRequestItem&>(parsed.Request.Items()[1]).FileName(), "x.bin");
}

class HttpRequestRoundTrip : public ::testing::TestWithParam<int64_t> {};

TEST_P(HttpRequestRoundTrip, MultipartBodyParsesBackWhateverTheReadSizes) {
    // Data that keeps starting a delimiter without finishing one.
    const std::string boundaryStart = TclHttpRequest::GenerateBoundary().substr(0, 36);
    std::string tricky = "\r\n--\r\r\n-\r\n--" + std::string(27, '-') + "\r\n";
    for (size_t k = 0; k <= boundaryStart.size(); k += 5)
        tricky += "\r\n--" + boundaryStart.substr(0, k) + std::string("\0!", 2);
    TTempFile disk(tricky + "\xFF\xFE end");

    TclHttpRequest source;
    source.Header().SetCharSet("utf-8");
    source.OnLoadData = [&](TObject*, TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData) {
        if (AItem->Tag() == 7) AData = StreamOf("mem" + tricky);
    };
    source.AddFormField("name", "\xE4\xB8\xAD\xE6\x96\x87 value");
    source.AddSubmitFile("first", "/virtual/mem.bin")->SetTag(7);
    source.AddFormField("empty", "");
    source.AddSubmitFile("second", disk.Name)->SetContentType("text/plain");
    const std::string body = Body(source);
    ASSERT_EQ(static_cast<int64_t>(body.size()), source.TotalSize());

    for (int batch : {1, 7, 64, 8192}) {
        TParsed parsed;
        parsed.Request.Header().SetCharSet("utf-8");
        parsed.Request.SetBatchSize(batch);
        TChunkedStream input(body, GetParam());
        parsed.Request.SetRequestStream(input);
        TclHttpRequest& r = parsed.Request;
        SCOPED_TRACE("batch " + std::to_string(batch));
        ASSERT_EQ(r.Items().Count(), 4);
        EXPECT_EQ(r.Header().ContentType(), "multipart/form-data");
        EXPECT_EQ(r.Header().Boundary(), source.Header().Boundary());
        EXPECT_EQ(r.Items().FormFieldByName("name")->FieldValue(), "\xE4\xB8\xAD\xE6\x96\x87 value");
        EXPECT_EQ(r.Items().FormFieldByName("empty")->FieldValue(), "");
        auto& first = dynamic_cast<TclSubmitFileRequestItem&>(r.Items()[1]);
        auto& second = dynamic_cast<TclSubmitFileRequestItem&>(r.Items()[3]);
        EXPECT_EQ(first.FieldName(), "first");
        EXPECT_EQ(first.FileName(), "mem.bin");
        EXPECT_EQ(first.ContentType(), "application/octet-stream");
        EXPECT_EQ(parsed.Data[&first], "mem" + tricky);
        EXPECT_EQ(second.FileName(), disk.Name.substr(disk.Name.rfind('/') + 1));
        EXPECT_EQ(second.ContentType(), "text/plain");
        EXPECT_EQ(parsed.Data[&second], disk.Read());
    }
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, HttpRequestRoundTrip, ::testing::Values(1, 2, 3, 5, 17, 39, 41, 256, 4096));

TEST(HttpRequestFile, SaveAndLoadKeepTheBody) {
    TTempFile target;
    TclHttpRequest request;
    request.AddFormField("a", "1");
    request.AddFormField("b", "x y");
    request.SaveRequest(target.Name);
    EXPECT_EQ(target.Read(), "a=1&b=x+y");
    TclHttpRequest loaded;
    loaded.Header().SetContentType("application/x-www-form-urlencoded");
    loaded.LoadRequest(target.Name);
    EXPECT_EQ(loaded.Items().Count(), 2);
    EXPECT_EQ(Body(loaded), "a=1&b=x+y");
}

TEST(HttpMultiStream, ReadsAcrossPartsAndClampsSeeks) {
    TclMultiStream stream;
    stream.AddStream(StreamOf("ab"));
    stream.AddStream(StreamOf(""));
    stream.AddStream(std::make_unique<TChunkedStream>("cdef", 1));
    EXPECT_EQ(stream.GetSize(), 6);
    EXPECT_EQ(stream.Seek(-10, soCurrent), 0);
    EXPECT_EQ(stream.Seek(100, soBeginning), 6);
    stream.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(stream.Read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "bcde");
    EXPECT_EQ(stream.Write("zz", 2), 0);
    EXPECT_EQ(ReadText(stream), "f");
}

TEST(HttpMultiStream, PartThatShrankFailsInsteadOfShorteningTheBody) {
    auto part = std::make_unique<TMemoryStream>();
    part->WriteBuffer(std::string("12345"));
    TMemoryStream* raw = part.get();
    TclMultiStream stream;
    stream.AddStream(std::move(part));
    raw->SetSize(2);
    char buf[8];
    EXPECT_THROW(stream.Read(buf, 5), EReadError);
}

// ---- forms ----

namespace {

std::vector<std::string> Fields(TclHttpRequest& ARequest) {
    std::vector<std::string> result;
    for (int i = 0; i < ARequest.Items().Count(); ++i) {
        if (auto* f = dynamic_cast<TclFormFieldRequestItem*>(&ARequest.Items()[i])) {
            result.push_back(f->FieldName() + "=" + f->FieldValue());
        } else if (auto* s = dynamic_cast<TclSubmitFileRequestItem*>(&ARequest.Items()[i])) {
            result.push_back("file:" + s->FieldName() + "=" + s->FileName());
        }
    }
    return result;
}

const char* const kMessyPage = R"(<!DOCTYPE html><html><head><title>a <form> in a title</title>
<script>var s = "<form action='/evil'><input name=bad>";</script>
<style>form { x: "<input name=bad2>" }</style></head><body>
<!-- <form action="/commented"><input name="c"> -->
<p>1 < 2 and <b>bold <i>unclosed
<FORM Action="/post?a=1&amp;b=2" NAME=login enctype=MULTIPART/FORM-DATA>
  <input type=hidden name=token value=abc&lt;&#65;&#x42;&quot;>
  <input name='user' value="J&amp;J" disabled>
  <input type="Radio" name="r" value="1"><input type="radio" name="r" value="2" checked>
  <input type="radio" name="s" value="1">
  <input type=file name=up value="C.txt">
  <input type=image name=img><input type=reset name=rs><input value=noname>
  <select name=sel><option value=1>one</select><textarea name=ta><input name=inside></textarea>
  <form action="/nested"><input type=checkbox name=cb value=on></form>
  <input type=submit name=go value="Go">
</form>
<form action="/second" name="other"><input name=q value="x y">
<input name="tail" value="unclosed)";

}  // namespace

TEST(HttpRequestHtmlForm, MessyPageGivesTheFormsControls) {
    TclHttpRequest request;
    TStringList html;
    html.SetText(kMessyPage);
    EXPECT_EQ(request.BuildFormPostRequest(html), "/post?a=1&b=2");
    EXPECT_EQ(Fields(request),
              (std::vector<std::string>{"token=abc<AB\"", "user=J&J", "r=", "s=", "file:up=", "sel=", "ta=", "cb=on"}));
    EXPECT_EQ(request.Header().ContentType(), "multipart/form-data");

    EXPECT_EQ(request.BuildFormPostRequest(html, "OTHER"), "/second");
    EXPECT_EQ(Fields(request), (std::vector<std::string>{"q=x y", "tail=unclosed\r\n"}));
    EXPECT_EQ(Body(request), "q=x+y&tail=unclosed%0D%0A");
}

TEST(HttpRequestHtmlForm, AFileInputOfAPageNeverUploadsALocalFile) {
    const TTempFile secret("private key material");
    TclHttpRequest request;
    TclHtmlParser parser;
    parser.Parse("<form action=/up enctype=multipart/form-data><input type=file name=f value=\"" + secret.Name +
                 "\"></form>");
    EXPECT_EQ(request.BuildFormPostRequest(parser, ""), "/up");
    const std::string body = Body(request);
    EXPECT_EQ(body.find("private key material"), std::string::npos) << body;
    EXPECT_NE(body.find("Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n"), std::string::npos) << body;
    EXPECT_EQ(request.TotalSize(), static_cast<int64_t>(body.size()));
}

TEST(HttpRequestMultipart, NamesWithAQuoteOrALineBreakAreRefusedNotPasted) {
    for (const std::string& name :
         {std::string("a\"; filename=\"x"), std::string("a\r\nX-Evil: 1"), std::string("b\n")}) {
        TclHttpRequest fields;
        fields.AddFormField(name, "v");
        fields.AddFormField("other", "w");
        fields.Header().SetContentType("multipart/form-data");
        EXPECT_THROW(Body(fields), Exception) << name;
        TclHttpRequest files;
        files.AddSubmitFile(name, "");
        EXPECT_THROW(Body(files), Exception) << name;
        TclHttpRequest fileNames;
        fileNames.AddSubmitFile("f", "/tmp/" + name);
        EXPECT_THROW(Body(fileNames), Exception) << name;
    }
}

TEST(HttpRequestHtmlForm, HostChoosesTheFormOrNoneIsFound) {
    TclHttpRequest request;
    TStringList html;
    html.SetText(kMessyPage);
    request.OnGetHtmlForm = [](TObject*, TclHtmlParser* AParser, const TclHtmlForm*& AForm) {
        AForm = &AParser->Forms().at(1);
    };
    EXPECT_EQ(request.BuildFormPostRequest(html), "/second");
    // A file input of a plain form is a field.
    TclHtmlParser parser;
    parser.Parse("<form action=/p><input type=file name=f value=v></form>");
    EXPECT_EQ(request.BuildFormPostRequest(parser, ""), "/p");
    EXPECT_EQ(Fields(request), std::vector<std::string>{"f=v"});
    EXPECT_EQ(request.BuildFormPostRequest(parser, "missing"), "");
    EXPECT_EQ(request.Items().Count(), 0);
    EXPECT_EQ(request.BuildFormPostRequest(TStringList{"<p>no forms"}), "");
}

TEST(HtmlParser, AnyCutOfAMessyPageParsesWithoutHarm) {
    const std::string page = kMessyPage;
    TclHtmlParser parser;
    for (size_t n = 0; n <= page.size(); ++n) parser.Parse(page.substr(0, n));
    EXPECT_EQ(parser.Forms().size(), 2u);
    parser.Parse("<form a=\"unclosed quote><input name=x></form><form action=b>");
    EXPECT_EQ(parser.Forms().size(), 1u);
    EXPECT_EQ(DecodeHtmlEntities("&#0;&#x110000;&#99999999999999;&bogus;&#;&amp"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD&bogus;&#;&amp");
}
