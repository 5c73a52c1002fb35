// HTTP date texts ("Wed, 09 Jun 2021 10:18:14 GMT") to local date-times and
// back: the one place where Expires, Last-Modified and Date are read and
// written. Local time follows the C library's time zone, with the offset in
// force now.
#pragma once

#include <string>

#include "rtl/clDateTime.h"
#include "rtl/clException.h"

namespace cl {

// A text that should hold a number, date or time and does not.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// The local date-time of an HTTP date; 0 when its day, month or year is
// missing. A malformed number or an impossible date or time raises
// EConvertError.
TDateTime ParseHttpDate(const std::string& AText);
// A local date-time as an RFC 1123 date in GMT.
std::string DateTimeToHttpDate(TDateTime ALocal);
// Seconds that local time is ahead of universal time, now.
long LocalUtcOffsetSeconds();

}  // namespace cl
