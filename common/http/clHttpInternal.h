// Helpers shared by the files of the HTTP client (clHttp*.cpp) and by
// nothing else: request header lines, the origin of an address, and two
// scope guards.
#pragma once

#include <string>

#include "http/clUriUtils.h"
#include "rtl/clStringList.h"
#include "transport/clSocket.h"

namespace cl::httpclient {

// The first line is the request line of an earlier attempt when it has a
// space before any colon.
bool IsRequestLine(const std::string& ALine);
// The index of the first header field: 1 after a request line, else 0.
int HeaderStartOf(const TStrings& ALines);
// Removes the field of that name, then appends it with the new value.
void SetRequestField(TStrings& ALines, const std::string& AName, const std::string& AValue);
// Every line of the request is free of line breaks and NUL, or the caller's
// text would become lines of the request.
void CheckRequestLines(const TStrings& ALines);
// scheme://host:port, lower-cased.
std::string OriginOf(const TclUrlParser& AUrl);

// Runs its action when the scope ends, however it ends: a setting changed for
// one step is put back also when the step fails.
template <class F>
class TclOnScopeExit {
public:
    explicit TclOnScopeExit(F AAction) : FAction(std::move(AAction)) {}
    ~TclOnScopeExit() { FAction(); }
    TclOnScopeExit(const TclOnScopeExit&) = delete;
    TclOnScopeExit& operator=(const TclOnScopeExit&) = delete;

private:
    F FAction;
};

// Routes the connection's progress reports to a handler for one phase.
class TclProgressRoute {
public:
    TclProgressRoute(TclConnection& AConnection, TclProgressEvent AHandler) : FConnection(AConnection) {
        FConnection.OnProgress = std::move(AHandler);
    }
    ~TclProgressRoute() { FConnection.OnProgress = nullptr; }
    TclProgressRoute(const TclProgressRoute&) = delete;
    TclProgressRoute& operator=(const TclProgressRoute&) = delete;

private:
    TclConnection& FConnection;
};

}  // namespace cl::httpclient
