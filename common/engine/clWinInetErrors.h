// The internet library's errors: the calling thread's last error and last
// server reply, and the table of texts for the error codes.
#pragma once

#include <cstdint>
#include <string>

namespace cl::wininet {

// Sets the calling thread's last error to ACode and returns false, so that
// a failing call can end with "return Fail(...)".
bool Fail(uint32_t ACode);

// The server's last reply on the calling thread (FTP refusals carry it).
std::string& LastResponse();

}  // namespace cl::wininet
