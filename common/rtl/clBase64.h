// Base64 with the RFC 4648 alphabet and padding, without line breaks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cl {

std::string Base64Encode(const uint8_t* AData, size_t ACount);
inline std::string Base64Encode(const std::vector<uint8_t>& AData) { return Base64Encode(AData.data(), AData.size()); }
inline std::string Base64Encode(std::string_view AData) {
    return Base64Encode(reinterpret_cast<const uint8_t*>(AData.data()), AData.size());
}
// Skips characters outside the alphabet (blanks, line breaks); stops at "=".
std::vector<uint8_t> Base64Decode(std::string_view AText);

}  // namespace cl
