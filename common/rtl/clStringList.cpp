#include "rtl/clStringList.h"

#include <algorithm>

#include "rtl/clException.h"
#include "rtl/clStrUtils.h"
#include "rtl/clStreams.h"

namespace cl {

TStringList::TStringList(std::initializer_list<std::string> ALines) {
    for (const auto& s : ALines) FItems.push_back({s, nullptr});
}

// Copies hold the lines and objects, not the handlers or update state.
TStringList::TStringList(const TStringList& ASource) : FItems(ASource.FItems), FCaseSensitive(ASource.FCaseSensitive) {}

TStringList& TStringList::operator=(const TStringList& ASource) {
    Assign(ASource);
    return *this;
}

void TStringList::CheckIndex(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count()) {
        throw Exception("List index out of bounds (" + std::to_string(AIndex) + ")");
    }
}

const std::string& TStringList::Get(int AIndex) const {
    CheckIndex(AIndex);
    return FItems[static_cast<size_t>(AIndex)].Value;
}

void TStringList::Put(int AIndex, const std::string& AValue) {
    CheckIndex(AIndex);
    Changing();
    FItems[static_cast<size_t>(AIndex)].Value = AValue;
    Changed();
}

TObject* TStringList::Objects(int AIndex) const {
    CheckIndex(AIndex);
    return FItems[static_cast<size_t>(AIndex)].Object;
}

void TStringList::PutObject(int AIndex, TObject* AObject) {
    CheckIndex(AIndex);
    Changing();
    FItems[static_cast<size_t>(AIndex)].Object = AObject;
    Changed();
}

int TStringList::AddObject(const std::string& AValue, TObject* AObject) {
    InsertObject(Count(), AValue, AObject);
    return Count() - 1;
}

void TStringList::InsertObject(int AIndex, const std::string& AValue, TObject* AObject) {
    if (AIndex < 0 || AIndex > Count()) CheckIndex(AIndex);
    Changing();
    FItems.insert(FItems.begin() + AIndex, Item{AValue, AObject});
    Changed();
}

void TStringList::Delete(int AIndex) {
    CheckIndex(AIndex);
    Changing();
    FItems.erase(FItems.begin() + AIndex);
    Changed();
}

void TStringList::Clear() {
    if (FItems.empty()) return;
    Changing();
    FItems.clear();
    Changed();
}

void TStringList::Exchange(int AIndex1, int AIndex2) {
    CheckIndex(AIndex1);
    CheckIndex(AIndex2);
    Changing();
    std::swap(FItems[static_cast<size_t>(AIndex1)], FItems[static_cast<size_t>(AIndex2)]);
    Changed();
}

void TStringList::AddStrings(const TStringList& ASource) {
    if (ASource.FItems.empty()) return;
    Changing();
    const std::vector<Item> copy = ASource.FItems;  // ASource may be this list
    FItems.insert(FItems.end(), copy.begin(), copy.end());
    Changed();
}

void TStringList::Assign(const TStringList& ASource) {
    if (&ASource == this) return;
    Changing();
    FItems = ASource.FItems;
    Changed();
}

bool TStringList::SameKey(const std::string& A, const std::string& B) const {
    return FCaseSensitive ? A == B : SameText(A, B);
}

int TStringList::IndexOf(const std::string& AValue) const {
    for (int i = 0; i < Count(); ++i) {
        if (SameKey(FItems[static_cast<size_t>(i)].Value, AValue)) return i;
    }
    return -1;
}

int TStringList::IndexOfName(const std::string& AName) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& s = FItems[static_cast<size_t>(i)].Value;
        const size_t eq = s.find('=');
        if (eq != std::string::npos && SameKey(s.substr(0, eq), AName)) return i;
    }
    return -1;
}

int TStringList::IndexOfObject(const TObject* AObject) const {
    for (int i = 0; i < Count(); ++i) {
        if (FItems[static_cast<size_t>(i)].Object == AObject) return i;
    }
    return -1;
}

std::string TStringList::Names(int AIndex) const {
    const std::string& s = Get(AIndex);
    const size_t eq = s.find('=');
    return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int AIndex) const {
    const std::string& s = Get(AIndex);
    const size_t eq = s.find('=');
    return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::string TStringList::Values(const std::string& AName) const {
    const int i = IndexOfName(AName);
    return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValue(const std::string& AName, const std::string& AValue) {
    const int i = IndexOfName(AName);
    if (AValue.empty()) {
        if (i >= 0) Delete(i);
    } else if (i < 0) {
        Add(AName + "=" + AValue);
    } else {
        Put(i, AName + "=" + AValue);
    }
}

std::string TStringList::Text() const {
    std::string result;
    for (const auto& item : FItems) {
        result += item.Value;
        result += LineBreak;
    }
    return result;
}

void TStringList::SetText(const std::string& AText) {
    BeginUpdate();
    Clear();
    size_t start = 0;
    while (start < AText.size()) {
        size_t end = AText.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            Add(AText.substr(start));
            break;
        }
        Add(AText.substr(start, end - start));
        if (AText[end] == '\r' && end + 1 < AText.size() && AText[end + 1] == '\n') ++end;
        start = end + 1;
    }
    EndUpdate();
}

void TStringList::LoadFromStream(TStream& AStream) {
    const int64_t size = AStream.GetSize() - AStream.GetPosition();
    std::string text(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
    if (!text.empty()) AStream.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
    SetText(text);
}

void TStringList::SaveToStream(TStream& AStream) const { AStream.WriteBuffer(Text()); }

void TStringList::Sort(const std::function<int(const std::string&, const std::string&)>& ACompare) {
    Changing();
    if (ACompare) {
        std::stable_sort(FItems.begin(), FItems.end(),
                         [&](const Item& a, const Item& b) { return ACompare(a.Value, b.Value) < 0; });
    } else {
        const bool cs = FCaseSensitive;
        std::stable_sort(FItems.begin(), FItems.end(), [cs](const Item& a, const Item& b) {
            return cs ? a.Value < b.Value : CompareText(a.Value, b.Value) < 0;
        });
    }
    Changed();
}

void TStringList::EndUpdate() {
    if (FUpdateCount == 0) return;
    if (--FUpdateCount == 0) Changed();
}

std::vector<std::string> TStringList::Lines() const {
    std::vector<std::string> result;
    result.reserve(FItems.size());
    for (const auto& item : FItems) result.push_back(item.Value);
    return result;
}

void TStringList::Changing() {
    if (FUpdateCount == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
    if (FUpdateCount == 0 && OnChange) OnChange(this);
}

}  // namespace cl
