// httpget: one call of the HTTP client from the command line, with the
// client's defaults, for benchmarks and for trying a server by hand.
//
//   httpget [-X METHOD] [-H "Name: value"]... [-d DATA] [-o FILE] [-i]
//           [--cacert FILE] [--connect-to HOST:PORT:ADDR:PORT]
//           [--socks4 HOST:PORT | --socks5 HOST:PORT] [--socks-user USER:PASSWORD]
//           [--socks-resolve-here] URL
//
// The body goes to FILE or standard output; -i writes the status line and the
// response header lines to standard error. -d sends DATA as the body (and
// makes the method POST unless -X names one). --cacert adds trust anchors
// from a PEM file; --connect-to sends connections for HOST:PORT to ADDR:PORT.
// --socks4 and --socks5 tunnel the connection through a SOCKS proxy (HOST may
// be a bracketed IPv6 address); --socks-user gives the SOCKS 5 user name and
// password (SOCKS 4: the user id); --socks-resolve-here resolves the target
// here and sends the proxy its address instead of its name.
// Exit status: 0 when the call returned, 1 on an exception (its class,
// message and ErrorCode on standard error), 2 on bad usage.
#include <cxxabi.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "flvdl/CommandLine.h"
#include "http/clHttp.h"
#include "transport/clIpAddress.h"
#include "transport/clSspi.h"
#include "http/clZLibBase.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace {

constexpr const char* Usage =
    "usage: httpget [-X METHOD] [-H \"Name: value\"]... [-d DATA] [-o FILE] [-i] [--cacert FILE] "
    "[--connect-to HOST:PORT:ADDR:PORT] [--socks4 HOST:PORT | --socks5 HOST:PORT] [--socks-user USER:PASSWORD] "
    "[--socks-resolve-here] URL\n";

struct TOptions {
    std::string Method;
    std::vector<std::string> Headers;
    std::optional<std::string> Data;
    std::string OutFile;
    bool ShowHeader = false;
    std::vector<std::string> CaFiles;
    std::vector<cl::TclHostOverride> ConnectTo;
    cl::TclFirewallSettings Socks;
    std::string Url;
};

// Standard output as a forward-only stream.
class TStdoutStream : public cl::TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        const char* p = static_cast<const char*>(ABuffer);
        int64_t left = ACount;
        while (left > 0) {
            const ssize_t n = ::write(1, p, static_cast<size_t>(left));
            if (n <= 0) throw cl::EWriteError("cannot write to standard output");
            p += n;
            left -= n;
        }
        FPosition += ACount;
        return ACount;
    }
    int64_t Seek(int64_t, cl::TSeekOrigin) override { return FPosition; }

private:
    int64_t FPosition = 0;
};

using clcmdline::ParseConnectTo;
using clcmdline::ParsePort;

// HOST:PORT, HOST possibly a bracketed IPv6 address.
bool ParseHostPort(const std::string& AText, std::string& AHost, int& APort) {
    const size_t colon = AText.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    AHost = AText.substr(0, colon);
    AHost = clcmdline::Unbracketed(AHost);
    return !AHost.empty() && ParsePort(AText.substr(colon + 1), APort);
}

bool ParseSocksProxy(const std::string& AText, cl::TclFirewallType AType, cl::TclFirewallSettings& ASettings) {
    std::string host;
    int port = 0;
    if (!ParseHostPort(AText, host, port)) return false;
    ASettings.SetFirewallType(AType);
    ASettings.SetServer(host);
    ASettings.SetPort(port);
    return true;
}

bool ParseArguments(int argc, char** argv, TOptions& AOptions) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-i") {
            AOptions.ShowHeader = true;
        } else if (arg == "-X" && hasValue) {
            AOptions.Method = argv[++i];
        } else if (arg == "-H" && hasValue) {
            AOptions.Headers.emplace_back(argv[++i]);
        } else if (arg == "-d" && hasValue) {
            AOptions.Data = argv[++i];
        } else if (arg == "-o" && hasValue) {
            AOptions.OutFile = argv[++i];
        } else if (arg == "--cacert" && hasValue) {
            AOptions.CaFiles.emplace_back(argv[++i]);
        } else if (arg == "--connect-to" && hasValue) {
            cl::TclHostOverride entry;
            if (!ParseConnectTo(argv[++i], entry)) return false;
            AOptions.ConnectTo.push_back(entry);
        } else if ((arg == "--socks4" || arg == "--socks5") && hasValue) {
            if (!ParseSocksProxy(argv[++i], arg == "--socks4" ? cl::ftSocks4 : cl::ftSocks5, AOptions.Socks)) {
                return false;
            }
        } else if (arg == "--socks-user" && hasValue) {
            const std::string value = argv[++i];
            const size_t colon = value.find(':');
            AOptions.Socks.SetUserName(value.substr(0, colon));
            AOptions.Socks.SetPassword(colon == std::string::npos ? std::string() : value.substr(colon + 1));
        } else if (arg == "--socks-resolve-here") {
            AOptions.Socks.SetNeedResolveIP(false);
        } else if (!arg.empty() && arg[0] != '-' && AOptions.Url.empty()) {
            AOptions.Url = arg;
        } else {
            return false;
        }
    }
    if (AOptions.Method.empty()) AOptions.Method = AOptions.Data ? "POST" : "GET";
    return !AOptions.Url.empty();
}

std::string ClassName(const std::exception& AError) {
    const char* raw = typeid(AError).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? name.get() : raw;
}

int Report(const std::exception& AError, std::optional<int> AErrorCode) {
    std::fprintf(stderr, "%s: %s", ClassName(AError).c_str(), AError.what());
    if (AErrorCode) std::fprintf(stderr, " (ErrorCode %d)", *AErrorCode);
    std::fprintf(stderr, "\n");
    return 1;
}

int Run(const TOptions& AOptions) {
    clcmdline::ApplyNetworkOptions(AOptions.CaFiles, AOptions.ConnectTo);
    cl::TStringList requestHeader;
    for (const std::string& line : AOptions.Headers) requestHeader.Add(line);
    cl::TStringStream requestBody(AOptions.Data.value_or(std::string()));
    cl::TStringList responseHeader;
    std::unique_ptr<cl::TStream> out;
    if (AOptions.OutFile.empty()) {
        out = std::make_unique<TStdoutStream>();
    } else {
        out = std::make_unique<cl::TFileStream>(AOptions.OutFile, cl::fmCreate);
    }
    cl::TclHttp http;
    http.SetFirewallSettings(AOptions.Socks);
    // The header is shown for failure statuses too.
    const auto showHeader = [&] {
        if (AOptions.ShowHeader) std::fputs(responseHeader.Text().c_str(), stderr);
    };
    try {
        http.SendRequest(AOptions.Method, AOptions.Url, &requestHeader, &requestBody, &responseHeader, out.get());
    } catch (...) {
        showHeader();
        throw;
    }
    showHeader();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    try {
        return Run(options);
    } catch (const cl::EclHttpError& e) {
        return Report(e, e.ErrorCode());
    } catch (const cl::EclSSPIError& e) {
        return Report(e, e.ErrorCode());
    } catch (const cl::EclSocketError& e) {
        return Report(e, e.ErrorCode());
    } catch (const cl::EclZLibError& e) {
        return Report(e, e.ErrorCode());
    } catch (const cl::Exception& e) {
        return Report(e, e.ErrorCode());
    } catch (const std::exception& e) {
        return Report(e, std::nullopt);
    }
}
