// A list of text lines, each with an optional object, with the case rule of
// its lookups, Name=Value access, the CR LF text form and change events.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rtl/clEvents.h"

namespace cl {

class TStream;

class TStringList : public TObject {
public:
    static constexpr const char* LineBreak = "\r\n";

    TStringList() = default;
    TStringList(std::initializer_list<std::string> ALines);
    TStringList(const TStringList& ASource);
    TStringList& operator=(const TStringList& ASource);

    int Count() const { return static_cast<int>(FItems.size()); }
    bool IsEmpty() const { return FItems.empty(); }
    const std::string& operator[](int AIndex) const { return Get(AIndex); }
    const std::string& Get(int AIndex) const;
    void Put(int AIndex, const std::string& AValue);
    TObject* Objects(int AIndex) const;
    void PutObject(int AIndex, TObject* AObject);

    int Add(const std::string& AValue) { return AddObject(AValue, nullptr); }
    int AddObject(const std::string& AValue, TObject* AObject);
    void Insert(int AIndex, const std::string& AValue) { InsertObject(AIndex, AValue, nullptr); }
    void InsertObject(int AIndex, const std::string& AValue, TObject* AObject);
    void Delete(int AIndex);
    void Clear();
    void Exchange(int AIndex1, int AIndex2);
    void AddStrings(const TStringList& ASource);
    void Assign(const TStringList& ASource);

    // Lookups follow CaseSensitive (off by default); -1 when absent.
    int IndexOf(const std::string& AValue) const;
    int IndexOfName(const std::string& AName) const;
    int IndexOfObject(const TObject* AObject) const;
    bool CaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool AValue) { FCaseSensitive = AValue; }

    // Name=Value lines. SetValue with an empty value removes the line.
    std::string Names(int AIndex) const;
    std::string ValueFromIndex(int AIndex) const;
    std::string Values(const std::string& AName) const;
    void SetValue(const std::string& AName, const std::string& AValue);

    // Every line followed by CR LF. SetText splits at CR LF, CR or LF; a final
    // line break adds no empty line.
    std::string Text() const;
    void SetText(const std::string& AText);
    void LoadFromStream(TStream& AStream);
    void SaveToStream(TStream& AStream) const;

    void Sort(const std::function<int(const std::string&, const std::string&)>& ACompare = nullptr);

    // Change notifications are held back while an update is open and fire
    // once when the outermost update ends.
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

    std::vector<std::string> Lines() const;

    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

private:
    struct Item {
        std::string Value;
        TObject* Object;
    };
    void Changing();
    void Changed();
    bool SameKey(const std::string& A, const std::string& B) const;
    void CheckIndex(int AIndex) const;

    std::vector<Item> FItems;
    bool FCaseSensitive = false;
    int FUpdateCount = 0;
};

using TStrings = TStringList;

}  // namespace cl
