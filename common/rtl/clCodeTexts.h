#pragma once
// Tables that name codes: error, status and reply codes with their texts.
//
//   constexpr TclCodeText kTexts[] = {{1, "Bad input"}, {2, "Overflow"}};
//   const char* text = FindCodeText(kTexts, ACode);  // nullptr if not named
//
// The code is 64 bits wide so signed and unsigned 32-bit codes (and enums)
// fit without casts at either end.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace cl {

struct TclCodeText {
    int64_t Code;
    const char* Text;
};

// The text of the first row with ACode; nullptr when the table does not name it.
constexpr const char* FindCodeText(std::span<const TclCodeText> ATable, int64_t ACode) {
    for (const TclCodeText& row : ATable) {
        if (row.Code == ACode) return row.Text;
    }
    return nullptr;
}

// The reverse look-up: the code of the first row whose text is AText.
constexpr std::optional<int64_t> FindTextCode(std::span<const TclCodeText> ATable, std::string_view AText) {
    for (const TclCodeText& row : ATable) {
        if (AText == row.Text) return row.Code;
    }
    return std::nullopt;
}

}  // namespace cl
