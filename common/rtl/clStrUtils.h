// Text helpers with the library's rules: case folding and comparison are
// ASCII-only, trimming drops every character up to and including space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cl {

std::string LowerCase(std::string_view AText);
std::string UpperCase(std::string_view AText);
bool SameText(std::string_view A, std::string_view B);
// <0, 0 or >0, ignoring ASCII case.
int CompareText(std::string_view A, std::string_view B);

std::string Trim(std::string_view AText);
std::string TrimLeft(std::string_view AText);
std::string TrimRight(std::string_view AText);

bool StartsText(std::string_view APrefix, std::string_view AText);
bool EndsText(std::string_view ASuffix, std::string_view AText);
// Index of ASub in AText ignoring ASCII case, or npos.
size_t FindText(std::string_view ASub, std::string_view AText, size_t AStart = 0);

// Whole text as a decimal integer (optional sign, surrounding blanks not
// allowed); ADefault when it is not one or does not fit.
int StrToIntDef(std::string_view AText, int ADefault);
int64_t StrToInt64Def(std::string_view AText, int64_t ADefault);

std::string IntToHex(uint64_t AValue, int ADigits);
// 0-9, a-f, A-F.
bool IsHexDigit(uint8_t AChar);
// Bytes as two lower-case hexadecimal digits each (digests).
std::string LowerHex(const uint8_t* AData, size_t ACount);
std::string StringReplaceAll(std::string_view AText, std::string_view AFrom, std::string_view ATo);

}  // namespace cl

namespace cl {

// UTF-8 text and UTF-16 units, for the few places defined per UTF-16 unit.
// A lone surrogate travels in UTF-8 text as its three-byte form, so both
// directions round-trip any sequence of units. Bytes that form no character
// become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view AText);
std::string Utf16ToUtf8(std::u16string_view AText);
// Appends the UTF-8 form of one code point; surrogate values travel in
// their three-byte form, as Utf16ToUtf8 writes a lone surrogate.
void AppendUtf8(std::string& AText, uint32_t ACode);

}  // namespace cl
