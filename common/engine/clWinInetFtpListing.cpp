// Directory listings of FTP servers as find entries: MLSD facts and the
// Unix "ls -l" lines of LIST, each line on its own.
#include "engine/clWinInetFtpListing.h"

#include <algorithm>
#include <ctime>

#include "rtl/clStrUtils.h"

namespace cl::wininet {

namespace {

int64_t ParseMlsdTime(const std::string& AText) {
    if (AText.size() < 14) return 0;
    std::tm tm{};
    tm.tm_year = StrToIntDef(AText.substr(0, 4), 1970) - 1900;
    tm.tm_mon = StrToIntDef(AText.substr(4, 2), 1) - 1;
    tm.tm_mday = StrToIntDef(AText.substr(6, 2), 1);
    tm.tm_hour = StrToIntDef(AText.substr(8, 2), 0);
    tm.tm_min = StrToIntDef(AText.substr(10, 2), 0);
    tm.tm_sec = StrToIntDef(AText.substr(12, 2), 0);
    return static_cast<int64_t>(timegm(&tm));
}

// The lines of a listing, without their line ends.
std::vector<std::string> ListingLines(const std::string& AListing) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < AListing.size()) {
        size_t end = AListing.find('\n', pos);
        if (end == std::string::npos) end = AListing.size();
        lines.push_back(AListing.substr(pos, end - pos));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        pos = end + 1;
    }
    return lines;
}

}  // namespace

std::vector<WIN32_FIND_DATAW> ParseMlsd(const std::string& AListing) {
    std::vector<WIN32_FIND_DATAW> entries;
    for (const std::string& line : ListingLines(AListing)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        WIN32_FIND_DATAW entry;
        entry.cFileName = Utf8ToUtf16(line.substr(space + 1));
        entry.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        bool skip = false;
        size_t factPos = 0;
        const std::string facts = line.substr(0, space);
        while (factPos < facts.size()) {
            size_t factEnd = facts.find(';', factPos);
            if (factEnd == std::string::npos) factEnd = facts.size();
            const std::string fact = facts.substr(factPos, factEnd - factPos);
            factPos = factEnd + 1;
            const size_t eq = fact.find('=');
            if (eq == std::string::npos) continue;
            const std::string name = LowerCase(fact.substr(0, eq));
            const std::string value = fact.substr(eq + 1);
            if (name == "type") {
                const std::string type = LowerCase(value);
                if (type == "cdir" || type == "pdir")
                    skip = true;
                else if (type == "dir")
                    entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            } else if (name == "size") {
                entry.nFileSize = StrToInt64Def(value, 0);
            } else if (name == "modify") {
                entry.ftLastWriteTime = ParseMlsdTime(value);
            }
        }
        if (!skip) entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<WIN32_FIND_DATAW> ParseUnixList(const std::string& AListing) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    std::vector<WIN32_FIND_DATAW> entries;
    for (const std::string& line : ListingLines(AListing)) {
        std::vector<std::string> fields;
        size_t p = 0;
        while (fields.size() < 8 && p < line.size()) {
            const size_t start = line.find_first_not_of(' ', p);
            if (start == std::string::npos) break;
            const size_t stop = std::min(line.find(' ', start), line.size());
            fields.push_back(line.substr(start, stop - start));
            p = stop;
        }
        const size_t nameStart = line.find_first_not_of(' ', p);
        if (fields.size() < 8 || nameStart == std::string::npos || fields[0].size() < 10) continue;
        WIN32_FIND_DATAW entry;
        entry.cFileName = Utf8ToUtf16(line.substr(nameStart));
        if (entry.cFileName == u"." || entry.cFileName == u"..") continue;
        entry.dwFileAttributes = fields[0][0] == 'd' ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        entry.nFileSize = StrToInt64Def(fields[4], 0);
        std::tm tm{};
        const std::string month = LowerCase(fields[5]);
        for (int m = 0; m < 12; ++m)
            if (month == kMonths[m]) tm.tm_mon = m;
        tm.tm_mday = StrToIntDef(fields[6], 1);
        if (fields[7].find(':') != std::string::npos) {
            const std::time_t now = std::time(nullptr);
            std::tm today{};
            gmtime_r(&now, &today);
            tm.tm_year = today.tm_year;
            tm.tm_hour = StrToIntDef(fields[7].substr(0, fields[7].find(':')), 0);
            tm.tm_min = StrToIntDef(fields[7].substr(fields[7].find(':') + 1), 0);
        } else {
            tm.tm_year = StrToIntDef(fields[7], 1970) - 1900;
        }
        entry.ftLastWriteTime = static_cast<int64_t>(timegm(&tm));
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace cl::wininet
