// Directory listings of FTP servers as find entries: machine listings
// ("fact=value;... name", MLSD) and the Unix "ls -l" form that LIST gives.
#pragma once

#include <string>
#include <vector>

#include "engine/clWinInet.h"

namespace cl::wininet {

// "fact=value;fact=value; name" lines; the current and parent directory
// entries are left out.
std::vector<WIN32_FIND_DATAW> ParseMlsd(const std::string& AListing);

// "drwxr-xr-x 1 owner group 1234 Jan 02 12:34 name" lines (times without a
// year are this year's; the server's time zone is taken as UTC). Lines that
// do not have that form, "." and ".." are left out.
std::vector<WIN32_FIND_DATAW> ParseUnixList(const std::string& AListing);

}  // namespace cl::wininet
