// Feeds arbitrary bytes to the charset decoders and the UTF-8 checks; the
// first byte picks the charset.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtl/clTranslator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static const char* const kCharSets[] = {"",          "utf-8",  "us-ascii", "windows-1251", "koi8-r",
                                            "shift_jis", "gb2312", "utf-16",   "iso-8859-2",   "bogus"};
    if (ASize == 0) return 0;
    const std::string charSet = kCharSets[AData[0] % (sizeof(kCharSets) / sizeof(kCharSets[0]))];
    const std::vector<uint8_t> bytes(AData + 1, AData + ASize);
    const std::string text = cl::TclTranslator::GetString(bytes, charSet);
    (void)cl::TclTranslator::GetBytes(text, charSet);
    (void)cl::TclTranslator::IsUtf8(bytes, 0, static_cast<int>(bytes.size()));
    (void)cl::TclTranslator::GetStringFromUtf8(bytes);
    // Bytes taken as internal text must encode without failing.
    (void)cl::TclTranslator::GetBytes(std::string(bytes.begin(), bytes.end()), charSet);
    (void)cl::TclTranslator::GetUtf8Bytes(std::string(bytes.begin(), bytes.end()));
    return 0;
}
