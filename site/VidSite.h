// The local stand-in of the video site: an HTTPS server (and a plain HTTP
// one for debugging) on loopback ports, answering for the site's host names
// with its pages, play-address services, media segments and comment files.
// Its certificate, for *.vidsite.example, vidsite.example and 127.0.0.1, is
// issued at start by a CA of its own; the program trusts that CA and
// reaches the site through the host override table (HostOverrides).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "site/SiteCatalogue.h"
#include "site/SiteFaults.h"

namespace vidsite {

struct TVidSiteOptions {
    std::vector<TSiteVideo> Videos = DemoCatalogue();
    // Where ffmpeg's playable segments are kept; empty: synthetic segments.
    std::string PlayableSegmentFolder;
    int64_t MediaRateBytesPerSecond = 0;  // per connection; 0: unlimited
    int CommentLimit = 0;                 // comment files per window before 412; 0: no limit
    std::chrono::milliseconds CommentWindow{10 * 60 * 1000};
};

// What the demo and the vidsite command serve: the demo catalogue, playable
// segments cached under $XDG_CACHE_HOME (or ~/.cache) in vidsite/segments,
// a rate that makes a download take visible time, and a refusal after 20
// comment files in ten minutes.
TVidSiteOptions DemoSiteOptions();

// Where the program must connect for a host and port of the site.
struct THostRoute {
    std::string Host;
    int Port = 0;
    std::string Address;
    int TargetPort = 0;
};

class TVidSite {
public:
    explicit TVidSite(TVidSiteOptions AOptions = {});
    ~TVidSite();
    TVidSite(const TVidSite&) = delete;
    TVidSite& operator=(const TVidSite&) = delete;

    int HttpsPort() const;
    int HttpPort() const;
    const std::string& CaCertificatePem() const;
    const std::string& CaCertificateFile() const;  // removed when the site stops

    // Every site host on port 443 to the HTTPS port and on port 80 to the
    // HTTP port, both on 127.0.0.1.
    std::vector<THostRoute> HostOverrides() const;

    TSiteCatalogue& Catalogue();
    TSiteFaults& Faults();
    TRequestLog& Log();
    void SetCommentLimit(int ALimit, std::chrono::milliseconds AWindow);
    void SetMediaRate(int64_t ABytesPerSecond);

    // A segment's bytes as the media servers send them; null for a content
    // id the catalogue does not have.
    std::shared_ptr<const std::string> SegmentBytes(int64_t ACid, int AQuality, int AIndex);

private:
    class TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace vidsite
