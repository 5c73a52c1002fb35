// What a request carries besides its method and address: a typed request
// header and an ordered list of body items (form fields, text, binary data,
// file uploads), from which it builds the header lines, the body stream and
// the body text; it also parses bodies back into items and builds the items
// of an HTML form.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/clHeaderFieldList.h"
#include "http/clHtmlParser.h"
#include "http/clHttpHeader.h"
#include "rtl/clComponent.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

class TclHttpRequest;
class TclHttpRequestItem;
class TclHttpRequestItemList;

// Asks for a stream (AData starts empty); a stream handed back becomes the request's.
using TclGetDataStreamEvent =
    std::function<void(TObject* Sender, TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData)>;
// A parsed section is complete; AData holds its bytes, positioned at 0.
using TclDataAddedEvent = std::function<void(TObject* Sender, TclHttpRequestItem* AItem, TStream* AData)>;
// Lets the host choose the form to build from (AForm starts nullptr).
using TclGetHtmlFormEvent = std::function<void(TObject* Sender, TclHtmlParser* AParser, const TclHtmlForm*& AForm)>;

// A read-only stream over a list of streams that it owns, read back to back.
class TclMultiStream : public TStream {
public:
    // The stream's size is taken now; a stream that later yields fewer bytes
    // than that makes Read fail rather than shorten the whole.
    void AddStream(std::unique_ptr<TStream> AStream);

    int64_t Read(void* ABuffer, int64_t ACount) override;
    // Stores nothing.
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    // Clamped to 0 ... size.
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t) override {}

private:
    struct Part {
        std::unique_ptr<TStream> Stream;
        int64_t Start;
        int64_t Size;
    };
    std::vector<Part> FList;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

class TclHttpRequestItem : public TObject {
public:
    // AOwner must be given.
    explicit TclHttpRequestItem(TclHttpRequestItemList* AOwner);
    TclHttpRequestItem(const TclHttpRequestItem&) = delete;
    TclHttpRequestItem& operator=(const TclHttpRequestItem&) = delete;

    // Copies Canonicalized; descendants copy their own values from an item
    // of their class.
    virtual void Assign(const TclHttpRequestItem& ASource);
    // A new empty item of the same class for AOwner.
    virtual std::unique_ptr<TclHttpRequestItem> NewInstance(TclHttpRequestItemList* AOwner) const = 0;

    // nullptr once the item has been taken out of its list.
    TclHttpRequestItemList* Owner() const { return FOwner; }
    TclHttpRequest* Request() const;

    int Tag() const { return FTag; }
    void SetTag(int AValue) { FTag = AValue; }
    bool Canonicalized() const { return FCanonicalized; }
    void SetCanonicalized(bool AValue);

    // A new stream with the bytes the item sends, at position 0; records its size.
    std::unique_ptr<TStream> GetData();
    // The recorded size, building the data once when none is recorded.
    int64_t GetSize();

    virtual void ResetSize() { FSize = 0; }
    // Reading a multipart section back: its header fields, its data in
    // pieces, its end.
    virtual void ParseItemHeader(const TclHeaderFieldList& /*AFieldList*/) {}
    virtual void AddData(const uint8_t* ABytes, int64_t ACount) = 0;
    virtual void AfterAddData() = 0;

protected:
    friend class TclHttpRequestItemList;

    virtual std::unique_ptr<TStream> CreateDataStream() = 0;
    // The form encoding of a name or value (see the .cpp).
    virtual std::string Canonicalize(const std::string& AText);
    // The request's charset; empty means the ANSI code page.
    virtual std::string GetCharSet() const;
    // Runs after every property change.
    void Changed();
    // Sets a text property, reporting a change.
    void SetText(std::string& AField, const std::string& AValue);
    // The end of a parsed section of a text-valued item: appends the
    // gathered bytes, decoded, to AValue and tells OnDataAdded the whole value.
    void EndTextSection(std::string& AValue, std::vector<uint8_t>& APending);

private:
    TclHttpRequestItemList* FOwner;
    int FTag = 0;
    bool FCanonicalized = true;
    int64_t FSize = 0;
};

// A text item and a form field gather the raw bytes of a parsed section and
// decode them at its end, so that a character split between two pieces of
// input stays whole.
class TclTextRequestItem : public TclHttpRequestItem {
public:
    using TclHttpRequestItem::TclHttpRequestItem;
    void Assign(const TclHttpRequestItem& ASource) override;
    std::unique_ptr<TclHttpRequestItem> NewInstance(TclHttpRequestItemList* AOwner) const override;

    const std::string& TextData() const { return FTextData; }
    void SetTextData(const std::string& AValue) { SetText(FTextData, AValue); }

    void AddData(const uint8_t* ABytes, int64_t ACount) override;
    void AfterAddData() override;

protected:
    std::unique_ptr<TStream> CreateDataStream() override;

private:
    std::string FTextData;
    std::vector<uint8_t> FPending;
};

class TclFormFieldRequestItem : public TclHttpRequestItem {
public:
    using TclHttpRequestItem::TclHttpRequestItem;
    void Assign(const TclHttpRequestItem& ASource) override;
    std::unique_ptr<TclHttpRequestItem> NewInstance(TclHttpRequestItemList* AOwner) const override;

    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& AValue) { SetText(FFieldName, AValue); }
    const std::string& FieldValue() const { return FFieldValue; }
    void SetFieldValue(const std::string& AValue) { SetText(FFieldValue, AValue); }

    void AddData(const uint8_t* ABytes, int64_t ACount) override;
    void AfterAddData() override;

protected:
    std::unique_ptr<TStream> CreateDataStream() override;

private:
    std::string FFieldName;
    std::string FFieldValue;
    std::vector<uint8_t> FPending;
};

// Bytes from OnLoadData when sent; parsed data goes to the stream of OnSaveData.
class TclBinaryRequestItem : public TclHttpRequestItem {
public:
    using TclHttpRequestItem::TclHttpRequestItem;
    std::unique_ptr<TclHttpRequestItem> NewInstance(TclHttpRequestItemList* AOwner) const override;

    void AddData(const uint8_t* ABytes, int64_t ACount) override;
    void AfterAddData() override;

protected:
    std::unique_ptr<TStream> CreateDataStream() override;
};

class TclSubmitFileRequestItem : public TclBinaryRequestItem {
public:
    using TclBinaryRequestItem::TclBinaryRequestItem;
    void Assign(const TclHttpRequestItem& ASource) override;
    std::unique_ptr<TclHttpRequestItem> NewInstance(TclHttpRequestItemList* AOwner) const override;

    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& AValue) { SetText(FFileName, AValue); }
    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& AValue) { SetText(FFieldName, AValue); }
    const std::string& ContentType() const { return FContentType; }
    void SetContentType(const std::string& AValue) { SetText(FContentType, AValue); }

    void ParseItemHeader(const TclHeaderFieldList& AFieldList) override;

protected:
    std::unique_ptr<TStream> CreateDataStream() override;

private:
    std::string FFileName;
    std::string FFieldName;
    std::string FContentType = "application/octet-stream";
};

// The request's items, which it owns. Every change runs inside the request's
// BeginUpdate/EndUpdate; Add, Delete and Clear also set the content type.
class TclHttpRequestItemList : public TObject {
public:
    // AOwner must be given.
    explicit TclHttpRequestItemList(TclHttpRequest* AOwner);
    ~TclHttpRequestItemList() override;
    TclHttpRequestItemList(const TclHttpRequestItemList&) = delete;
    TclHttpRequestItemList& operator=(const TclHttpRequestItemList&) = delete;

    int Count() const { return static_cast<int>(FList.size()); }
    TclHttpRequest* Owner() const { return FOwner; }
    // Raises for an index out of range.
    TclHttpRequestItem& operator[](int AIndex) const { return *Items(AIndex); }
    TclHttpRequestItem* Items(int AIndex) const;

    template <class T>
    T* Add() {
        auto item = std::make_unique<T>(this);
        T* result = item.get();
        Add(std::move(item));
        return result;
    }
    // Appends an item, taking it over from whatever list held it before.
    TclHttpRequestItem* Add(std::unique_ptr<TclHttpRequestItem> AItem);
    // Takes the item out of the list; the caller owns it afterwards.
    std::unique_ptr<TclHttpRequestItem> Delete(int AIndex);
    void Move(int ACurIndex, int ANewIndex);
    void Clear();
    // The first form field whose name equals AFieldName ignoring case, or nullptr.
    TclFormFieldRequestItem* FormFieldByName(const std::string& AFieldName) const;
    // Copies the items of another list: a new item of each one's class.
    void Assign(const TclHttpRequestItemList& ASource);

private:
    void CheckIndex(int AIndex) const;

    std::vector<std::unique_ptr<TclHttpRequestItem>> FList;
    TclHttpRequest* FOwner;
};

class TclHttpRequest : public TComponent {
public:
    TclHttpRequest();
    ~TclHttpRequest() override;

    TclHttpRequestHeader& Header();
    // Copies the fields.
    void SetHeader(const TclHttpRequestHeader& AValue);
    TclHttpRequestItemList& Items() { return FItems; }
    const TclHttpRequestItemList& Items() const { return FItems; }
    // Copies the items.
    void SetItems(const TclHttpRequestItemList& AValue) { FItems.Assign(AValue); }

    // The header lines to send, built on first read and kept until the next change.
    const TStrings& HeaderSource();
    // Parses the lines into Header.
    void SetHeaderSource(const TStrings& AValue);
    // The body as text lines, built on first read and kept until the next change.
    const TStrings& RequestSource();
    // Encodes the lines, each followed by CR LF, and parses them as a body.
    void SetRequestSource(const TStrings& AValue);
    // A new stream holding the body, positioned at 0; the caller owns it.
    std::unique_ptr<TStream> RequestStream();
    // Parses a body, read from position 0, into items.
    void SetRequestStream(TStream& AValue);
    // The number of bytes RequestStream yields.
    int64_t TotalSize();
    bool IsMultiPartContent();
    bool IsFormFieldRequest();

    // Read size when parsing a multipart body; values below 1 are ignored.
    int BatchSize() const { return FBatchSize; }
    void SetBatchSize(int AValue);

    // Removes every item and clears the header (which keeps Accept "*/*").
    virtual void Clear();
    // Clear, keeping the charset.
    virtual void ResetRequest();
    void Assign(const TclHttpRequest& ASource);

    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();
    // Forgets the built header lines, body text and item sizes and fires
    // OnChanged, unless an update is open.
    void Update();

    TclTextRequestItem* AddTextData(const std::string& ATextData);
    TclFormFieldRequestItem* AddFormField(const std::string& AFieldName, const std::string& AFieldValue);
    // nullptr, adding nothing, when the value is empty.
    TclFormFieldRequestItem* AddFormFieldIfNeed(const std::string& AFieldName, const std::string& AFieldValue);
    TclSubmitFileRequestItem* AddSubmitFile(const std::string& AFieldName, const std::string& AFileName);
    TclBinaryRequestItem* AddBinaryData();

    // The file is written only once the body could be built.
    void SaveRequest(const std::string& AFileName);
    void LoadRequest(const std::string& AFileName);
    // A JSON text as a "utf-8" "application/json" body.
    void BuildJSONRequest(const std::string& AJson);

    // Fill the items from an HTML form and return the address it posts to
    // (its action as written); empty when there is no such form.
    std::string BuildFormPostRequest(const TclHtmlForm& AForm);
    std::string BuildFormPostRequest(const TStrings& AHtml);
    // The form of that name, or the first one when the name is empty.
    std::string BuildFormPostRequest(TclHtmlParser& AParser, const std::string& AFormName);
    std::string BuildFormPostRequest(const TStrings& AHtml, const std::string& AFormName);
    // Fetches the page; the action is resolved against AUrl.
    std::string BuildFormPostRequestByUrl(const std::string& AUrl);

    static std::string GenerateBoundary();

    TNotifyEvent OnChanged;
    TclGetDataStreamEvent OnSaveData;
    TclGetDataStreamEvent OnLoadData;
    TclDataAddedEvent OnDataAdded;
    TclGetHtmlFormEvent OnGetHtmlForm;

protected:
    friend class TclHttpRequestItem;
    friend class TclHttpRequestItemList;
    friend class TclBinaryRequestItem;
    friend class TclTextRequestItem;
    friend class TclFormFieldRequestItem;
    friend class TclSubmitFileRequestItem;

    virtual std::unique_ptr<TclHttpRequestHeader> CreateHeader();
    virtual TclHttpRequestItem* CreateItem(const TclHeaderFieldList& AFieldList);
    virtual void ParseTextBody(TStream& AStream);
    virtual std::string GetItemsContentType();
    virtual void InitHeader();

    virtual void DoSaveData(TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData);
    virtual void DoLoadData(TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData);
    virtual void DoDataAdded(TclHttpRequestItem* AItem, TStream* AData);
    virtual void DoGetHtmlForm(TclHtmlParser* AParser, const TclHtmlForm*& AForm);
    virtual void DoChanged();

    void UpdateContentType();
    void InitBoundary();
    // The destination of the binary section being parsed, asked for once per section.
    TStream* DataStream(TclHttpRequestItem* AItem);
    // Decodes a whole text with the request's charset.
    std::string DecodeText(const std::vector<uint8_t>& ABytes);

private:
    class TParseFlag;
    class TMultipartParser;

    void ParseBody(TStream& AStream);
    void ParseMultipartBody(TStream& AStream);
    void ResetItemSizes();

    TclHttpRequestItemList FItems;
    std::unique_ptr<TclHttpRequestHeader> FHeader;
    int FUpdateCount = 0;
    TStringList FRequestSource;
    TStringList FHeaderSource;
    bool FIsParse = false;
    std::unique_ptr<TStream> FDataStream;
    TclHttpRequestItem* FDataStreamItem = nullptr;
    int FBatchSize = 8192;
};

}  // namespace cl
