#include "http/clHeaderFieldList.h"

#include <algorithm>

#include "rtl/clException.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

bool IsContinuation(const std::string& ALine) { return !ALine.empty() && (ALine[0] == '\t' || ALine[0] == ' '); }

bool Contains(const std::string& ASet, char C) { return ASet.find(C) != std::string::npos; }

}  // namespace

TclHeaderFieldList::TclHeaderFieldList() = default;
TclHeaderFieldList::~TclHeaderFieldList() = default;

void TclHeaderFieldList::CheckSource(int ALine) const { ClAssert(FSource != nullptr, "clHeaderFieldList", ALine); }

// A line or item with a line break inside would smuggle further header lines
// into the message, so both CR and LF are refused.
void TclHeaderFieldList::CheckLine(const std::string& ALine, int ALineNo) {
    ClAssert(ALine.find_first_of("\r\n") == std::string::npos, "clHeaderFieldList", ALineNo);
}

bool TclHeaderFieldList::IsWhiteSpace(char C) const { return Contains(GetWhiteSpaces(), C); }

int TclHeaderFieldList::Parse(int AStartFrom, TStrings& ASource) {
    FSource = &ASource;
    FHeaderStart = std::clamp(AStartFrom, 0, ASource.Count());
    FFieldList.Clear();
    FFieldLines.clear();
    int i = FHeaderStart;
    for (; i < ASource.Count(); ++i) {
        const std::string& line = ASource[i];
        if (line.empty()) break;
        if (IsContinuation(line)) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        FFieldList.Add(LowerCase(line.substr(0, colon)));
        FFieldLines.push_back(i);
    }
    FHeaderEnd = i;
    return FHeaderEnd;
}

void TclHeaderFieldList::Reparse() {
    if (FSource != nullptr) Parse(FHeaderStart, *FSource);
}

int TclHeaderFieldList::GetFieldIndex(const std::string& AName) const { return FFieldList.IndexOf(AName); }

int TclHeaderFieldList::GetFieldStart(int AIndex) const {
    if (AIndex < 0 || AIndex >= static_cast<int>(FFieldLines.size())) return -1;
    return FFieldLines[static_cast<size_t>(AIndex)];
}

int TclHeaderFieldList::GetFieldStart(const std::string& AName) const { return GetFieldStart(GetFieldIndex(AName)); }

int TclHeaderFieldList::GetFieldEnd(int AIndex) const {
    const int start = GetFieldStart(AIndex);
    if (start < 0) return -1;
    int j = start + 1;
    while (j < FSource->Count() && IsContinuation((*FSource)[j])) ++j;
    return j - 1;
}

int TclHeaderFieldList::GetFieldEnd(const std::string& AName) const { return GetFieldEnd(GetFieldIndex(AName)); }

std::string TclHeaderFieldList::GetFieldName(int AIndex) const {
    const int start = GetFieldStart(AIndex);
    if (start < 0) return std::string();
    const std::string& line = (*FSource)[start];
    return line.substr(0, line.find(':'));
}

std::string TclHeaderFieldList::GetFieldName(const std::string& AName) const {
    return GetFieldName(GetFieldIndex(AName));
}

std::string TclHeaderFieldList::InternalGetFieldValue(int AIndex) const {
    const int start = GetFieldStart(AIndex);
    if (start < 0) return std::string();
    const std::string& first = (*FSource)[start];
    std::string result = first.substr(first.find(':') + 1);
    if (!result.empty() && (result[0] == '\t' || result[0] == ' ')) result.erase(0, 1);
    for (int j = start + 1; j < FSource->Count() && IsContinuation((*FSource)[j]); ++j) {
        const std::string& line = (*FSource)[j];
        result += line[0] == '\t' ? line.substr(1) : line;
    }
    return result;
}

std::string TclHeaderFieldList::GetFieldValue(int AIndex) const { return Trim(InternalGetFieldValue(AIndex)); }

std::string TclHeaderFieldList::GetFieldValue(const std::string& AName) const {
    return GetFieldValue(GetFieldIndex(AName));
}

void TclHeaderFieldList::GetFieldSource(int AIndex, TStrings& AFieldSource) const {
    AFieldSource.Clear();
    const int start = GetFieldStart(AIndex);
    if (start < 0) return;
    const int end = GetFieldEnd(AIndex);
    for (int j = start; j <= end; ++j) AFieldSource.Add((*FSource)[j]);
}

void TclHeaderFieldList::GetFieldSource(const std::string& AName, TStrings& AFieldSource) const {
    GetFieldSource(GetFieldIndex(AName), AFieldSource);
}

// ---- items ----

size_t TclHeaderFieldList::FindItemName(const std::string& ALowerSource, const std::string& AItemName) const {
    size_t from = 0;
    for (;;) {
        const size_t pos = ALowerSource.find(AItemName, from);
        if (pos == std::string::npos) return pos;
        size_t j = pos + AItemName.size();
        while (j < ALowerSource.size() && IsWhiteSpace(ALowerSource[j])) ++j;
        if (j < ALowerSource.size() && ALowerSource[j] == '=') return pos;
        from = pos + 1;
    }
}

bool TclHeaderFieldList::FindFieldItem(const std::string& ASource, const std::string& AItemName, int& AStart,
                                       int& ALength, std::string& AValue) const {
    AStart = 0;
    ALength = 0;
    AValue.clear();
    size_t itemBegin = 0;
    size_t valueBegin = 0;
    if (AItemName.empty()) {
        if (ASource.empty()) return false;
    } else {
        const std::string name = LowerCase(AItemName);
        itemBegin = FindItemName(LowerCase(ASource), name);
        if (itemBegin == std::string::npos) return false;
        valueBegin = ASource.find('=', itemBegin + name.size()) + 1;
    }
    const std::string quotes = GetQuoteChars();
    const std::string delimiters = GetItemDelimiters();
    size_t end = ASource.size();
    char quote = 0;
    for (size_t k = valueBegin; k < ASource.size(); ++k) {
        const char c = ASource[k];
        if (quote != 0) {
            if (c == quote) {
                end = k + 1;
                break;
            }
        } else if (Contains(quotes, c)) {
            quote = c;
        } else if (Contains(delimiters, c)) {
            end = k;
            break;
        }
    }
    AValue = ASource.substr(valueBegin, end - valueBegin);
    AStart = static_cast<int>(itemBegin) + 1;
    ALength = static_cast<int>(end - itemBegin);
    return true;
}

std::string TclHeaderFieldList::GetFieldValueItem(const std::string& ASource, const std::string& AItemName) const {
    int start = 0;
    int length = 0;
    std::string value;
    if (!FindFieldItem(ASource, AItemName, start, length, value)) return std::string();
    value = Trim(value);
    const std::string quotes = GetQuoteChars();
    if (value.size() >= 2 && Contains(quotes, value.front()) && Contains(quotes, value.back())) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string TclHeaderFieldList::RemoveItem(const std::string& ASource, const std::string& AItemName) const {
    int start = 0;
    int length = 0;
    std::string value;
    if (!FindFieldItem(ASource, AItemName, start, length, value)) return ASource;
    size_t b = static_cast<size_t>(start - 1);
    size_t e = b + static_cast<size_t>(length);
    if (e < ASource.size() && ASource[e] == FItemDelimiter) ++e;
    bool onlyWhiteSpaceFollows = true;
    for (size_t k = e; k < ASource.size(); ++k) {
        if (!IsWhiteSpace(ASource[k])) {
            onlyWhiteSpaceFollows = false;
            break;
        }
    }
    if (onlyWhiteSpaceFollows) {
        e = ASource.size();
        const std::string delimiters = GetItemDelimiters() + FItemDelimiter;
        while (b > 0 && (IsWhiteSpace(ASource[b - 1]) || Contains(delimiters, ASource[b - 1]))) --b;
    } else {
        while (b > 0 && IsWhiteSpace(ASource[b - 1])) --b;
    }
    return ASource.substr(0, b) + ASource.substr(e);
}

std::string TclHeaderFieldList::ClearItem(const std::string& ASource, const std::string& AItemName) const {
    int start = 0;
    int length = 0;
    std::string value;
    if (!FindFieldItem(ASource, AItemName, start, length, value)) return ASource;
    const size_t e = static_cast<size_t>(start - 1 + length);
    const size_t vb = e - value.size();
    return ASource.substr(0, vb) + ASource.substr(e);
}

// ---- editing ----

std::string TclHeaderFieldList::GetNameValuePair(const std::string& AName, const std::string& AValue) {
    return AValue.empty() ? AName + ":" : AName + ": " + AValue;
}

std::string TclHeaderFieldList::GetItemNameValuePair(const std::string& AItemName, const std::string& AValue) {
    if (AItemName.empty() || AItemName.back() == '=') return AItemName + AValue;
    return AItemName + "=" + AValue;
}

// Cuts AText into parts of about CharsPerLine characters, each on its own
// line: the first is prefixed by TAB only when APrefixFirst (a continuation
// line), the following by TAB and space. A part that is a single fold
// character joins the line before it instead.
int TclHeaderFieldList::InsertFoldedLine(int AIndex, const std::string& AText, bool APrefixFirst) {
    const size_t n = AText.size() + 1;
    const size_t perLine = static_cast<size_t>(FCharsPerLine);
    const size_t parts = (n + perLine - 1) / perLine;
    const size_t step = std::max<size_t>(1, n / parts);
    const std::string foldChars = GetFoldChars();
    int index = AIndex;
    int inserted = 0;
    for (size_t pos = 0, k = 0; pos < AText.size(); pos += step, ++k) {
        const std::string part = AText.substr(pos, step);
        const bool mayJoin = (k > 0 || APrefixFirst) && index - 1 > 0;
        if (part.size() == 1 && Contains(foldChars, part[0]) && mayJoin) {
            FSource->Put(index - 1, (*FSource)[index - 1] + part);
            continue;
        }
        const std::string prefix = k == 0 ? (APrefixFirst ? "\t" : "") : "\t ";
        FSource->Insert(index, prefix + part);
        ++index;
        ++inserted;
    }
    return inserted;
}

int TclHeaderFieldList::InsertFieldLine(int AIndex, const std::string& ALine, bool AFold) {
    CheckSource(__LINE__);
    CheckLine(ALine, __LINE__);
    if (ALine.empty()) return 0;
    const int index = std::clamp(AIndex, 0, FHeaderEnd);
    int inserted = 1;
    if (AFold && FCharsPerLine > 0) {
        inserted = InsertFoldedLine(index, ALine, false);
    } else {
        FSource->Insert(index, ALine);
    }
    Reparse();
    return inserted;
}

void TclHeaderFieldList::AddField(const std::string& AName, const std::string& AValue) {
    InsertField(FHeaderEnd, AName, AValue);
}

void TclHeaderFieldList::AddNonFoldedField(const std::string& AName, const std::string& AValue) {
    InsertNonFoldedField(FHeaderEnd, AName, AValue);
}

void TclHeaderFieldList::AddEmptyField(const std::string& AName) { InsertEmptyField(FHeaderEnd, AName); }

void TclHeaderFieldList::AddFieldIfNotExist(const std::string& AName, const std::string& AValue) {
    InsertFieldIfNotExist(FHeaderEnd, AName, AValue);
}

void TclHeaderFieldList::InsertField(int AIndex, const std::string& AName, const std::string& AValue) {
    CheckSource(__LINE__);
    if (AValue.empty()) return;
    InsertFieldLine(AIndex, GetNameValuePair(AName, AValue), true);
}

void TclHeaderFieldList::InsertNonFoldedField(int AIndex, const std::string& AName, const std::string& AValue) {
    CheckSource(__LINE__);
    if (AValue.empty()) return;
    InsertFieldLine(AIndex, GetNameValuePair(AName, AValue), false);
}

void TclHeaderFieldList::InsertEmptyField(int AIndex, const std::string& AName) {
    InsertFieldLine(AIndex, AName + ":", false);
}

void TclHeaderFieldList::InsertFieldIfNotExist(int AIndex, const std::string& AName, const std::string& AValue) {
    CheckSource(__LINE__);
    if (GetFieldIndex(AName) < 0) InsertField(AIndex, AName, AValue);
}

void TclHeaderFieldList::AddArrayField(const std::string& AName, const std::vector<std::string>& AValues) {
    CheckSource(__LINE__);
    std::vector<std::string> values;
    for (const auto& v : AValues) {
        if (!v.empty()) values.push_back(v);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        const bool last = i + 1 == values.size();
        const std::string line = (i == 0 ? GetNameValuePair(AName, values[i]) : "\t" + values[i]) + (last ? "" : ",");
        InsertFieldLine(FHeaderEnd, line, true);
    }
}

void TclHeaderFieldList::AddArrayField(const std::string& AName, const TStrings& AValues) {
    AddArrayField(AName, AValues.Lines());
}

void TclHeaderFieldList::AddFields(const TStrings& AFields) {
    CheckSource(__LINE__);
    for (int i = 0; i < AFields.Count(); ++i) InsertFieldLine(FHeaderEnd, AFields[i], false);
}

void TclHeaderFieldList::InternalAddFieldItem(int AFieldIndex, const std::string& AItemName, bool ANewLine,
                                              const std::string& AValue) {
    CheckSource(__LINE__);
    const std::string item = GetItemNameValuePair(AItemName, Trim(AValue));
    CheckLine(item, __LINE__);
    const int lastIndex = GetFieldEnd(AFieldIndex);
    if (lastIndex < 0) return;
    std::string last = (*FSource)[lastIndex];
    const std::string trimmed = Trim(last);
    if (!trimmed.empty() && trimmed.back() != ':' && trimmed.back() != FItemDelimiter) {
        last += FItemDelimiter;
        FSource->Put(lastIndex, last);
    }
    bool newLine = ANewLine;
    if (FCharsPerLine > 0 &&
        (static_cast<int>(last.size() + item.size() + 2) > FCharsPerLine || last.rfind("\t ", 0) == 0)) {
        newLine = true;
    }
    if (!newLine) {
        FSource->Put(lastIndex, last + " " + item);
    } else if (FCharsPerLine > 0) {
        InsertFoldedLine(lastIndex + 1, item, true);
    } else {
        FSource->Insert(lastIndex + 1, "\t" + item);
    }
    Reparse();
}

void TclHeaderFieldList::AddFieldItem(int AFieldIndex, const std::string& AItemName, const std::string& AValue,
                                      bool ANewLine) {
    CheckSource(__LINE__);
    if (Trim(AValue).empty()) return;
    InternalAddFieldItem(AFieldIndex, AItemName, ANewLine, AValue);
}

void TclHeaderFieldList::AddFieldItem(const std::string& AFieldName, const std::string& AItemName,
                                      const std::string& AValue, bool ANewLine) {
    AddFieldItem(GetFieldIndex(AFieldName), AItemName, AValue, ANewLine);
}

void TclHeaderFieldList::AddQuotedFieldItem(int AFieldIndex, const std::string& AItemName, const std::string& AValue,
                                            bool ANewLine) {
    CheckSource(__LINE__);
    if (Trim(AValue).empty()) return;
    const bool quoted = AValue.front() == '"' || AValue.back() == '"';
    AddFieldItem(AFieldIndex, AItemName, quoted ? AValue : "\"" + AValue + "\"", ANewLine);
}

void TclHeaderFieldList::AddQuotedFieldItem(const std::string& AFieldName, const std::string& AItemName,
                                            const std::string& AValue, bool ANewLine) {
    AddQuotedFieldItem(GetFieldIndex(AFieldName), AItemName, AValue, ANewLine);
}

void TclHeaderFieldList::AddEmptyFieldItem(int AFieldIndex, const std::string& AItemName, bool ANewLine) {
    InternalAddFieldItem(AFieldIndex, AItemName.empty() || AItemName.back() == '=' ? AItemName : AItemName + "=",
                         ANewLine, std::string());
}

void TclHeaderFieldList::AddEmptyFieldItem(const std::string& AFieldName, const std::string& AItemName, bool ANewLine) {
    AddEmptyFieldItem(GetFieldIndex(AFieldName), AItemName, ANewLine);
}

void TclHeaderFieldList::InsertFieldLines(int AIndex, const TStrings& ALines) {
    CheckSource(__LINE__);
    int index = std::clamp(AIndex, 0, FSource->Count());
    for (int i = 0; i < ALines.Count(); ++i) FSource->Insert(index++, ALines[i]);
    Reparse();
}

void TclHeaderFieldList::DeleteFieldLines(int AFieldIndex) {
    CheckSource(__LINE__);
    const int start = GetFieldStart(AFieldIndex);
    if (start < 0) return;
    for (int j = GetFieldEnd(AFieldIndex); j >= start; --j) FSource->Delete(j);
    Reparse();
}

void TclHeaderFieldList::RemoveField(int AIndex) { DeleteFieldLines(AIndex); }

void TclHeaderFieldList::RemoveField(const std::string& AName) {
    CheckSource(__LINE__);
    RemoveField(GetFieldIndex(AName));
}

// Applies RemoveItem or ClearItem to the field's value (the text after the
// name and colon, continuation lines joined by line breaks) and puts the
// resulting lines in place of the field's.
void TclHeaderFieldList::ReplaceFieldText(int AFieldIndex, const std::string& AItemName, bool ARemove) {
    CheckSource(__LINE__);
    const int start = GetFieldStart(AFieldIndex);
    if (start < 0) return;
    std::string text;
    for (int j = start; j <= GetFieldEnd(AFieldIndex); ++j) {
        if (j > start) text += "\r\n";
        text += (*FSource)[j];
    }
    const size_t colon = text.find(':');
    const std::string body = text.substr(colon + 1);
    const std::string changed = ARemove ? RemoveItem(body, AItemName) : ClearItem(body, AItemName);
    if (changed == body) return;
    TStringList split;
    split.SetText(text.substr(0, colon + 1) + changed);
    TStringList lines;
    for (int i = 0; i < split.Count(); ++i) {
        if (!split[i].empty()) lines.Add(split[i]);  // an empty line would end the header
    }
    DeleteFieldLines(AFieldIndex);
    InsertFieldLines(start, lines);
}

void TclHeaderFieldList::RemoveFieldItem(int AFieldIndex, const std::string& AItemName) {
    ReplaceFieldText(AFieldIndex, AItemName, true);
}

void TclHeaderFieldList::RemoveFieldItem(const std::string& AFieldName, const std::string& AItemName) {
    RemoveFieldItem(GetFieldIndex(AFieldName), AItemName);
}

void TclHeaderFieldList::ClearFieldItem(int AFieldIndex, const std::string& AItemName) {
    ReplaceFieldText(AFieldIndex, AItemName, false);
}

void TclHeaderFieldList::ClearFieldItem(const std::string& AFieldName, const std::string& AItemName) {
    ClearFieldItem(GetFieldIndex(AFieldName), AItemName);
}

void TclHeaderFieldList::AddEndOfHeader() {
    CheckSource(__LINE__);
    if (FHeaderEnd < FSource->Count()) {
        if (!(*FSource)[FHeaderEnd].empty()) FSource->Insert(FHeaderEnd, std::string());
    } else if (FSource->Count() > 0 && !(*FSource)[FSource->Count() - 1].empty()) {
        FSource->Add(std::string());
    }
    Reparse();
}

}  // namespace cl
