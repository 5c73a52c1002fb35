// A concrete TCP client for tests: the base client with no default port.
#pragma once

#include "transport/clTcpClient.h"

namespace cltest {

class TTestTcpClient : public cl::TclTcpClient {
protected:
    int GetDefaultPort() override { return 0; }
};

}  // namespace cltest
