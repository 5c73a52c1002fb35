// What the command-line front ends (flvdl, and httpget and mdl in
// support/tools) share: their read batch, numbers and ports from their
// arguments, the --connect-to entries, and applying --cacert and
// --connect-to to the process-wide trust anchors and host override table.
#pragma once

#include <string>
#include <vector>

#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

namespace clcmdline {

// The front ends here draw nothing per data event, so they read in larger
// batches than the window's 8 KiB: every batch is one handoff to the
// starting thread and back, and at 8 KiB those handoffs cost more CPU than
// the bytes themselves on a fast link.
inline constexpr int kBatchSize = 64 * 1024;

// A decimal number from AMin to AMax, nothing else.
inline bool ParseNumber(const std::string& AText, int AMin, int AMax, int& AValue) {
    if (AText.empty() || AText.size() > 9 || AText.find_first_not_of("0123456789") != std::string::npos) return false;
    AValue = std::stoi(AText);
    return AValue >= AMin && AValue <= AMax;
}

inline bool ParsePort(const std::string& AText, int& APort) { return ParseNumber(AText, 0, 65535, APort); }

// An address that may stand in brackets (an IPv6 address), without them.
inline std::string Unbracketed(const std::string& AAddress) {
    if (AAddress.size() >= 2 && AAddress.front() == '[' && AAddress.back() == ']') {
        return AAddress.substr(1, AAddress.size() - 2);
    }
    return AAddress;
}

// HOST:PORT:ADDR:PORT; ADDR may be an IPv6 address, bracketed or not.
inline bool ParseConnectTo(const std::string& AText, cl::TclHostOverride& AEntry) {
    const size_t first = AText.find(':');
    if (first == std::string::npos) return false;
    const size_t second = AText.find(':', first + 1);
    const size_t last = AText.rfind(':');
    if (second == std::string::npos || last <= second) return false;
    AEntry.Host = AText.substr(0, first);
    AEntry.TargetAddress = Unbracketed(AText.substr(second + 1, last - second - 1));
    return !AEntry.Host.empty() && !AEntry.TargetAddress.empty() &&
           ParsePort(AText.substr(first + 1, second - first - 1), AEntry.Port) &&
           ParsePort(AText.substr(last + 1), AEntry.TargetPort);
}

// --cacert files into the extra trust anchors, --connect-to entries into the
// host override table.
inline void ApplyNetworkOptions(const std::vector<std::string>& ACaFiles,
                                const std::vector<cl::TclHostOverride>& AConnectTo) {
    for (const std::string& file : ACaFiles) cl::AddTrustAnchorsFile(file);
    for (const cl::TclHostOverride& e : AConnectTo) {
        cl::TclHostOverrides::Add(e.Host, e.Port, e.TargetAddress, e.TargetPort);
    }
}

}  // namespace clcmdline
