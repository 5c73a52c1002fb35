// Arbitrary bytes as a server's answer: the client reads the status line,
// the header block and the body (chunked, gzip, by length or until close)
// from a loopback server that sends them and closes. Nothing may crash or
// hang, a completed body by length has exactly that length, and the chunked
// decoder gives the same output however its input is split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "http/clHttp.h"
#include "http/clHttpUtils.h"
#include "rtl/clStrUtils.h"
#include "support/clLoopbackServer.h"

#include <netinet/in.h>
#include <thread>

namespace {

std::mutex gLock;
std::string gReply;

// Reads the request head, sends the current reply and closes.
void Answer(int AFd) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(AFd, buf, sizeof(buf), 0);
        if (n <= 0) return;
        head.append(buf, static_cast<size_t>(n));
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> guard(gLock);
        reply = gReply;
    }
    cltest::TLoopbackServer::SendAll(AFd, reply);
}

// One thread serving one connection at a time for the whole run: the client
// is synchronous, so its connections never overlap.
int StartServer() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 16) != 0) abort();
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread([listener] {
        for (;;) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Answer(fd);
            close(fd);
        }
    }).detach();
    return ntohs(addr.sin_port);
}

std::string Decode(const std::string& AInput, size_t ASplit) {
    cl::TMemoryStream out;
    cl::TclChunkedStream chunked(&out);
    try {
        chunked.Write(AInput.data(), static_cast<int64_t>(ASplit));
        chunked.Write(AInput.data() + ASplit, static_cast<int64_t>(AInput.size() - ASplit));
    } catch (const cl::EclStreamError&) {
        return "<refused>";
    }
    return std::string(out.Bytes().begin(), out.Bytes().end()) + (chunked.IsCompleted() ? "<end>" : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    using namespace cl;
    static const int port = StartServer();
    const std::string input(reinterpret_cast<const char*>(AData), ASize);

    if (!input.empty() && Decode(input, input.size() / 2) != Decode(input, 0)) abort();
    if (!input.empty() && Decode(input, input.size() - 1) != Decode(input, input.size())) abort();

    {
        std::lock_guard<std::mutex> guard(gLock);
        gReply = input;
    }
    TclHttp http;
    http.SetTimeOut(2000);
    http.SetKeepConnection(false);
    http.SetMaxRedirects(2);
    TMemoryStream body;
    try {
        http.Get("http://127.0.0.1:" + std::to_string(port) + "/", &body);
        const std::string& length = http.ResponseHeader().ContentLength();
        const bool plain = http.ResponseHeader().TransferEncoding().empty() &&
                           LowerCase(http.ResponseHeader().ContentEncoding()).find("gzip") == std::string::npos;
        if (plain && !length.empty() && http.StatusCode() < 300 && StrToInt64Def(Trim(length), -1) >= 0 &&
            body.GetSize() != StrToInt64Def(Trim(length), -1)) {
            abort();
        }
    } catch (const Exception&) {
    }
    return 0;
}
