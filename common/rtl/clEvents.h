// The object root that events name as Sender, and the event types shared
// across the library.
#pragma once

#include <cstdint>
#include <functional>

namespace cl {

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Raised after every batch that moved bytes: bytes done and total bytes.
using TclProgressEvent = std::function<void(TObject* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

}  // namespace cl
