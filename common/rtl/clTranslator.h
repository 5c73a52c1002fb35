// Text to bytes of a named charset and back. Text is UTF-8 inside the
// system; charset names are the MIME/HTTP ones ("utf-8", "windows-1251").
// The empty or an unknown name means the system's 8-bit code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

// The system's 8-bit (ANSI) code page.
inline constexpr const char* kAnsiCharSet = "windows-1252";

class TclTranslator {
public:
    TclTranslator() = delete;

    static std::vector<uint8_t> GetBytes(const std::string& AText, const std::string& ACharSet = std::string());
    // Encodes the whole text and copies at most AByteCount bytes; returns
    // the number copied.
    static int GetBytes(const std::string& AText, uint8_t* ABytes, int AByteCount, const std::string& ACharSet);
    static int GetByteCount(const std::string& AText, const std::string& ACharSet = std::string());

    static std::string GetString(const std::vector<uint8_t>& ABytes, const std::string& ACharSet = std::string());
    static std::string GetString(const std::vector<uint8_t>& ABytes, int AIndex, int ACount,
                                 const std::string& ACharSet = std::string());
    static std::string GetString(const uint8_t* ABytes, int ACount, const std::string& ACharSet = std::string());

    // The fallback byte translation between a charset of the table and the
    // Windows code page of its script. Stream forms work from position 0 of
    // both streams and put both positions back.
    static void TranslateTo(const std::string& ACharSet, TStream& ASource, TStream& ADestination);
    static void TranslateFrom(const std::string& ACharSet, TStream& ASource, TStream& ADestination);
    // Text forms: the text's characters taken as bytes of the ANSI code page;
    // the result holds the translated bytes, one char each.
    static std::string TranslateTo(const std::string& ACharSet, const std::string& AText);
    static std::string TranslateFrom(const std::string& ACharSet, const std::string& AText);

    // The fallback UTF-8 codec, which works on each UTF-16 unit on its own.
    static std::string TranslateToUtf8(const std::string& AText);    // -> UTF-8 bytes
    static std::string TranslateFromUtf8(const std::string& AUtf8);  // -> text
    static std::vector<uint8_t> GetUtf8Bytes(const std::string& AText);
    static int GetUtf8ByteCount(const std::string& AText);
    static std::string GetStringFromUtf8(const std::vector<uint8_t>& ABytes);

    // Whether the bytes are well-formed UTF-8 with at least one non-ASCII
    // sequence. The stream form reads from the position to the end and puts
    // the position back.
    static bool IsUtf8(TStream& AStream);
    static bool IsUtf8(const std::vector<uint8_t>& ABytes, int AIndex, int ACount);
    static bool IsUtf8(const uint8_t* ABytes, int ACount);

    static void GetSupportedCharSets(TStrings& AList) { AList.Clear(); }
};

}  // namespace cl
