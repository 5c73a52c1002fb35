// An editor laid over a list of header lines: finds fields by name, reads
// their values across continuation lines, adds, inserts and removes fields,
// and reads, adds and removes the name=value items inside a field value.
#pragma once

#include <string>
#include <vector>

#include "rtl/clEvents.h"
#include "rtl/clStringList.h"

namespace cl {

class TclHeaderFieldList : public TObject {
public:
    TclHeaderFieldList();
    ~TclHeaderFieldList() override;
    TclHeaderFieldList(const TclHeaderFieldList&) = delete;
    TclHeaderFieldList& operator=(const TclHeaderFieldList&) = delete;

    // Binds to ASource and rebuilds FieldList from line AStartFrom on;
    // returns HeaderEnd. The list is not owned and must outlive the binding.
    virtual int Parse(int AStartFrom, TStrings& ASource);

    // One entry per field: its name in lower case. GetFieldStart(i) gives the
    // line index of field i in Source.
    const TStrings& FieldList() const { return FFieldList; }
    TStrings* Source() const { return FSource; }
    int HeaderStart() const { return FHeaderStart; }
    int HeaderEnd() const { return FHeaderEnd; }
    int CharsPerLine() const { return FCharsPerLine; }
    void SetCharsPerLine(int AValue) { FCharsPerLine = AValue; }
    char ItemDelimiter() const { return FItemDelimiter; }
    void SetItemDelimiter(char AValue) { FItemDelimiter = AValue; }

    // Lookups ignore case; the name-based forms use the first field of a name.
    int GetFieldIndex(const std::string& AName) const;
    std::string GetFieldName(int AIndex) const;
    std::string GetFieldName(const std::string& AName) const;
    virtual std::string GetFieldValue(int AIndex) const;
    std::string GetFieldValue(const std::string& AName) const;
    // One item of a value: trimmed, with one pair of enclosing quotes removed.
    // An empty AItemName gives the first, unnamed item.
    virtual std::string GetFieldValueItem(const std::string& ASource, const std::string& AItemName) const;
    int GetFieldStart(int AIndex) const;
    int GetFieldStart(const std::string& AName) const;
    int GetFieldEnd(int AIndex) const;
    int GetFieldEnd(const std::string& AName) const;
    void GetFieldSource(int AIndex, TStrings& AFieldSource) const;
    void GetFieldSource(const std::string& AName, TStrings& AFieldSource) const;

    // Editing. Every operation re-parses from HeaderStart afterwards.
    void AddField(const std::string& AName, const std::string& AValue);
    void AddNonFoldedField(const std::string& AName, const std::string& AValue);
    void AddEmptyField(const std::string& AName);
    void AddFieldIfNotExist(const std::string& AName, const std::string& AValue);
    void AddArrayField(const std::string& AName, const TStrings& AValues);
    void AddArrayField(const std::string& AName, const std::vector<std::string>& AValues);
    void AddFields(const TStrings& AFields);
    void InsertField(int AIndex, const std::string& AName, const std::string& AValue);
    void InsertNonFoldedField(int AIndex, const std::string& AName, const std::string& AValue);
    void InsertEmptyField(int AIndex, const std::string& AName);
    void InsertFieldIfNotExist(int AIndex, const std::string& AName, const std::string& AValue);

    void AddFieldItem(int AFieldIndex, const std::string& AItemName, const std::string& AValue, bool ANewLine = false);
    void AddFieldItem(const std::string& AFieldName, const std::string& AItemName, const std::string& AValue,
                      bool ANewLine = false);
    void AddQuotedFieldItem(int AFieldIndex, const std::string& AItemName, const std::string& AValue,
                            bool ANewLine = false);
    void AddQuotedFieldItem(const std::string& AFieldName, const std::string& AItemName, const std::string& AValue,
                            bool ANewLine = false);
    void AddEmptyFieldItem(int AFieldIndex, const std::string& AItemName, bool ANewLine = false);
    void AddEmptyFieldItem(const std::string& AFieldName, const std::string& AItemName, bool ANewLine = false);

    void RemoveField(int AIndex);
    void RemoveField(const std::string& AName);
    void RemoveFieldItem(int AFieldIndex, const std::string& AItemName);
    void RemoveFieldItem(const std::string& AFieldName, const std::string& AItemName);
    void ClearFieldItem(int AFieldIndex, const std::string& AItemName);
    void ClearFieldItem(const std::string& AFieldName, const std::string& AItemName);

    // "Name:" followed, when AValue is not empty, by a space and AValue.
    static std::string GetNameValuePair(const std::string& AName, const std::string& AValue);
    // AItemName + "=" (unless empty or already ending with "=") + AValue.
    static std::string GetItemNameValuePair(const std::string& AItemName, const std::string& AValue);

    // Makes sure an empty line follows the header.
    void AddEndOfHeader();

protected:
    virtual std::string GetQuoteChars() const { return "\"'"; }
    virtual std::string GetItemDelimiters() const { return ",;"; }
    virtual std::string GetFoldChars() const { return "\"'(),;<>"; }
    virtual std::string GetWhiteSpaces() const { return std::string("\t\n\r ", 4); }

    virtual std::string InternalGetFieldValue(int AIndex) const;
    // Finds AItemName in ASource: AStart is 1-based at the item's name (0 when
    // absent), ALength spans name and value, AValue is the raw value text.
    virtual bool FindFieldItem(const std::string& ASource, const std::string& AItemName, int& AStart, int& ALength,
                               std::string& AValue) const;
    // Inserts one field line at AIndex (clamped to 0..HeaderEnd); returns
    // the number of lines inserted.
    virtual int InsertFieldLine(int AIndex, const std::string& ALine, bool AFold);
    virtual void InternalAddFieldItem(int AFieldIndex, const std::string& AItemName, bool ANewLine,
                                      const std::string& AValue);
    virtual std::string RemoveItem(const std::string& ASource, const std::string& AItemName) const;
    virtual std::string ClearItem(const std::string& ASource, const std::string& AItemName) const;
    virtual void InsertFieldLines(int AIndex, const TStrings& ALines);
    virtual void DeleteFieldLines(int AFieldIndex);

private:
    void CheckSource(int ALine) const;
    static void CheckLine(const std::string& ALine, int ALineNo);
    void Reparse();
    bool IsWhiteSpace(char C) const;
    size_t FindItemName(const std::string& ALowerSource, const std::string& AItemName) const;
    int InsertFoldedLine(int AIndex, const std::string& AText, bool APrefixFirst);
    void ReplaceFieldText(int AFieldIndex, const std::string& AItemName, bool ARemove);

    TStringList FFieldList;
    std::vector<int> FFieldLines;  // line index of each field of FFieldList
    TStrings* FSource = nullptr;
    int FHeaderEnd = 0;
    int FHeaderStart = 0;
    int FCharsPerLine = 0;
    char FItemDelimiter = ';';
};

}  // namespace cl
