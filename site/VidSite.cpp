// The site stand-in's servers and the routing of its answers by host.
#include "site/VidSite.h"

#include <httplib.h>
#include <openssl/pem.h>

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "site/CommentService.h"
#include "site/FlvSegments.h"
#include "site/PlayUrlService.h"
#include "site/SiteCompression.h"
#include "site/SitePages.h"
#include "site/SiteResponses.h"
#include "site/TlsCertificates.h"
#include "site/VidSiteConstants.h"

namespace vidsite {

namespace {

constexpr char kLoopback[] = "127.0.0.1";
const std::string kJson = "application/json; charset=utf-8";
constexpr char kLastModified[] = "Tue, 01 Dec 2020 08:00:00 GMT";
constexpr size_t kWorkerThreads = 128;  // every connection holds one while it lives

enum class THostRole { Main, Interface, Api, Media, Unknown };

std::string HostWithoutPort(std::string AHost) {
    if (!AHost.empty() && AHost.front() == '[') return AHost.substr(0, AHost.find(']') + 1);
    const size_t colon = AHost.rfind(':');
    if (colon != std::string::npos) AHost.resize(colon);
    for (char& c : AHost) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return AHost;
}

// A request to the loopback address itself (a person's browser) sees the
// main host.
THostRole RoleOf(const std::string& AHost) {
    if (AHost == kMainHost || AHost == kDomain || AHost == kLoopback || AHost == "localhost") return THostRole::Main;
    if (AHost == kInterfaceHost) return THostRole::Interface;
    if (AHost == kApiHost) return THostRole::Api;
    for (const char* media : kMediaHosts)
        if (AHost == media) return THostRole::Media;
    return THostRole::Unknown;
}

// The Referer a media server accepts: an address on one of the site's hosts.
bool RefererFromSite(const std::string& AReferer) {
    for (const char* scheme : {"https://", "http://"}) {
        const std::string prefix = scheme;
        if (AReferer.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = AReferer.substr(prefix.size());
        const std::string host = HostWithoutPort(rest.substr(0, rest.find('/')));
        const std::string domain = kDomain;
        return host == domain || (host.size() > domain.size() &&
                                  host.compare(host.size() - domain.size() - 1, std::string::npos, "." + domain) == 0);
    }
    return false;
}

std::string RawQuery(const httplib::Request& ARequest) {
    const size_t mark = ARequest.target.find('?');
    return mark == std::string::npos ? std::string() : ARequest.target.substr(mark + 1);
}

bool ParamNumber(const httplib::Request& ARequest, const char* AName, int64_t& AValue) {
    const std::string text = ARequest.get_param_value(AName);
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    AValue = std::stoll(text);
    return true;
}

struct TSegmentName {
    int64_t Cid = 0;
    int Quality = 0;
    int Index = 0;
};

// "/flv/<cid>-<quality>-<index>.flv"
bool ParseSegmentPath(const std::string& APath, TSegmentName& AName) {
    long long cid = 0;
    int quality = 0, index = 0, consumed = 0;
    if (std::sscanf(APath.c_str(), "/flv/%lld-%d-%d.flv%n", &cid, &quality, &index, &consumed) != 3 ||
        static_cast<size_t>(consumed) != APath.size())
        return false;
    AName = {cid, quality, index};
    return true;
}

void SimpleAnswer(httplib::Response& AResponse, int AStatus, const std::string& AText) {
    AResponse.status = AStatus;
    AResponse.set_content("<html><body><h1>" + std::to_string(AStatus) + " " + AText + "</h1></body></html>\n",
                          "text/html; charset=utf-8");
}

std::atomic<int>& SiteSerial() {
    static std::atomic<int> serial{0};
    return serial;
}

struct TX509Free {
    void operator()(X509* AX) const { X509_free(AX); }
};
struct TKeyFree {
    void operator()(EVP_PKEY* AKey) const { EVP_PKEY_free(AKey); }
};
struct TBioFree {
    void operator()(BIO* ABio) const { BIO_free(ABio); }
};

std::unique_ptr<BIO, TBioFree> PemBio(const std::string& APem) {
    return std::unique_ptr<BIO, TBioFree>(BIO_new_mem_buf(APem.data(), static_cast<int>(APem.size())));
}

// A fresh folder under /tmp, removed with everything in it.
class TTempFolder {
public:
    TTempFolder() {
        char folder[] = "/tmp/vidsite-XXXXXX";
        if (!mkdtemp(folder)) throw std::runtime_error("vidsite: cannot make a temporary folder");
        FPath = folder;
    }
    ~TTempFolder() {
        std::error_code error;
        std::filesystem::remove_all(FPath, error);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

// A server listening on a loopback port chosen by the system, run on its
// own thread from construction to destruction.
class TRunningServer {
public:
    TRunningServer(std::unique_ptr<httplib::Server> AServer, httplib::Server::Handler AHandler)
        : FServer(std::move(AServer)) {
        FServer->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        // Idle kept-alive connections end soon, so that stopping the site
        // does not wait for them long.
        FServer->set_keep_alive_timeout(1);
        FServer->set_keep_alive_max_count(1000);
        FServer->set_read_timeout(5);
        FServer->set_write_timeout(10);
        FServer->Get(".*", std::move(AHandler));
        FPort = FServer->bind_to_any_port(kLoopback);
        if (FPort <= 0) throw std::runtime_error("vidsite: cannot listen on the loopback address");
        FThread = std::thread([this] {
            FServer->listen_after_bind();
            FListenEnded = true;
        });
        // stop() is ignored until the server runs; wait for that once here.
        while (!FServer->is_running() && !FListenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (FListenEnded) {
            FThread.join();
            throw std::runtime_error("vidsite: the server ended at once");
        }
    }
    ~TRunningServer() {
        FServer->stop();
        FThread.join();
    }
    TRunningServer(const TRunningServer&) = delete;
    TRunningServer& operator=(const TRunningServer&) = delete;
    int Port() const { return FPort; }

private:
    std::unique_ptr<httplib::Server> FServer;
    int FPort = 0;
    std::atomic<bool> FListenEnded{false};
    std::thread FThread;
};

std::unique_ptr<httplib::SSLServer> TlsServer(const TCertificateAndKey& AIssued) {
    std::unique_ptr<X509, TX509Free> certificate(
        PEM_read_bio_X509(PemBio(AIssued.CertificatePem).get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, TKeyFree> key(
        PEM_read_bio_PrivateKey(PemBio(AIssued.KeyPem).get(), nullptr, nullptr, nullptr));
    auto server = std::make_unique<httplib::SSLServer>(certificate.get(), key.get());
    if (!server->is_valid()) throw std::runtime_error("vidsite: the TLS server did not take its certificate");
    return server;
}

}  // namespace

class TVidSite::TImpl {
public:
    explicit TImpl(TVidSiteOptions AOptions);
    ~TImpl();

    void Dispatch(const httplib::Request& ARequest, httplib::Response& AResponse);

    TVidSiteOptions FOptions;
    TSiteCatalogue FCatalogue;
    TSiteFaults FFaults;
    TRequestLog FLog;
    TRequestWindowLimiter FCommentLimiter;
    TSegmentStore FSegments;
    std::atomic<int64_t> FMediaRate{0};
    TStopSignal FStop;
    std::string FCaPem;
    TTempFolder FFolder;
    std::string FCaFile;
    // Last, so that they stop first.
    std::unique_ptr<TRunningServer> FHttps;
    std::unique_ptr<TRunningServer> FHttp;

private:
    void Record(const httplib::Request& ARequest, const std::string& AHost);
    static TBodyOptions BodyOptions(const TSiteFault& AFault) { return {AFault, 0}; }
    void SendDocument(const httplib::Request& ARequest, httplib::Response& AResponse, const std::string& AText,
                      const std::string& AContentType, const TSiteFault& AFault);

    void ServePage(const httplib::Request& ARequest, httplib::Response& AResponse, const TSiteFault& AFault);
    void ServePlayUrl(const httplib::Request& ARequest, httplib::Response& AResponse, const TSiteFault& AFault);
    using TPlayAddressDocument = std::string (*)(const TSitePart&, int, const TSegmentSizer&);
    void ServePlayAddresses(const httplib::Request& ARequest, httplib::Response& AResponse, const TSiteFault& AFault,
                            TPlayAddressDocument ADocument);
    void ServeComments(const httplib::Request& ARequest, httplib::Response& AResponse, const TSiteFault& AFault);
    void ServeSegment(const httplib::Request& ARequest, httplib::Response& AResponse, const TSiteFault& AFault);
};

TVidSite::TImpl::TImpl(TVidSiteOptions AOptions)
    : FOptions(std::move(AOptions)),
      FSegments(FOptions.PlayableSegmentFolder),
      FMediaRate(FOptions.MediaRateBytesPerSecond) {
    for (TSiteVideo& video : FOptions.Videos) FCatalogue.Add(video);
    FCommentLimiter.Configure(FOptions.CommentLimit, FOptions.CommentWindow);

    // Each site has a CA of its own name: a process that trusted an earlier
    // site's CA must still find this one by its subject.
    const TCertificateAuthority ca("Vidsite Local Root CA " + std::to_string(getpid()) + "-" +
                                   std::to_string(++SiteSerial()));
    TLeafOptions leaf;
    leaf.CommonName = std::string("*.") + kDomain;
    leaf.DnsNames = {std::string("*.") + kDomain, kDomain, "localhost"};
    leaf.IpAddresses = {kLoopback};
    const TCertificateAndKey issued = ca.Issue(leaf);
    FCaPem = ca.CertificatePem();

    FCaFile = FFolder.Path() + "/vidsite-ca.pem";
    std::ofstream(FCaFile, std::ios::binary) << FCaPem;

    const auto handler = [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
        Dispatch(ARequest, AResponse);
    };
    FHttps = std::make_unique<TRunningServer>(TlsServer(issued), handler);
    FHttp = std::make_unique<TRunningServer>(std::make_unique<httplib::Server>(), handler);
}

// Stalled and slow answers wake first, then the servers stop.
TVidSite::TImpl::~TImpl() {
    FStop.Stop();
    FHttps.reset();
    FHttp.reset();
}

void TVidSite::TImpl::Record(const httplib::Request& ARequest, const std::string& AHost) {
    TRequestRecord record;
    record.Host = AHost;
    record.RequestLine = ARequest.method + " " + ARequest.target + " " + ARequest.version;
    record.Path = ARequest.path;
    record.Query = RawQuery(ARequest);
    for (const auto& [name, value] : ARequest.headers) record.Headers.emplace_back(name, value);
    FLog.Add(std::move(record));
}

void TVidSite::TImpl::Dispatch(const httplib::Request& ARequest, httplib::Response& AResponse) {
    const std::string host = HostWithoutPort(ARequest.get_header_value("Host"));
    Record(ARequest, host);
    // cpp-httplib would apply the parsed ranges to every body after this
    // handler, without checking them against its length; the media servers
    // resolve the Range header themselves. The request object is the
    // library's own non-const one, handed here as const.
    const_cast<httplib::Request&>(ARequest).ranges.clear();

    bool serverError = false;
    const TSiteFault fault = FFaults.Take(ARequest.path, serverError);
    if (serverError) return SimpleAnswer(AResponse, fault.ServerErrorStatus, "Server Error");
    if (fault.Stall) {
        FStop.WaitForStop();
        return SimpleAnswer(AResponse, 503, "Service Unavailable");
    }

    switch (RoleOf(host)) {
        case THostRole::Main:
            return ServePage(ARequest, AResponse, fault);
        case THostRole::Interface:
            if (ARequest.path == kPlayUrlPath) return ServePlayUrl(ARequest, AResponse, fault);
            break;
        case THostRole::Api:
            if (ARequest.path == kPgcPlayUrlPath)
                return ServePlayAddresses(ARequest, AResponse, fault, PgcPlayUrlDocument);
            if (ARequest.path == kCommentPath) return ServeComments(ARequest, AResponse, fault);
            break;
        case THostRole::Media:
            return ServeSegment(ARequest, AResponse, fault);
        case THostRole::Unknown:
            break;
    }
    SimpleAnswer(AResponse, 404, "Not Found");
}

void TVidSite::TImpl::SendDocument(const httplib::Request& ARequest, httplib::Response& AResponse,
                                   const std::string& AText, const std::string& AContentType,
                                   const TSiteFault& AFault) {
    AResponse.set_header("Vary", "Accept-Encoding");
    if (AcceptsGzip(ARequest)) {
        AResponse.set_header("Content-Encoding", "gzip");
        return SendText(AResponse, GzipCompress(AText), AContentType, BodyOptions(AFault), FStop);
    }
    SendText(AResponse, AText, AContentType, BodyOptions(AFault), FStop);
}

void TVidSite::TImpl::ServePage(const httplib::Request& ARequest, httplib::Response& AResponse,
                                const TSiteFault& AFault) {
    static const std::string kHtml = "text/html; charset=utf-8";
    if (ARequest.path == "/") {
        std::string index =
            "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>vidsite</title>"
            "</head><body><ul>\n";
        for (const TSiteVideo& video : FCatalogue.Videos())
            index += "<li><a href=\"" + video.PagePath + "\">" + video.Title + "</a></li>\n";
        return SendDocument(ARequest, AResponse, index + "</ul></body></html>\n", kHtml, AFault);
    }
    const std::optional<TSiteVideo> video = FCatalogue.FindPage(ARequest.path);
    if (!video) {
        AResponse.status = 404;
        return SendDocument(ARequest, AResponse, NotFoundPage(), kHtml, AFault);
    }
    SendDocument(ARequest, AResponse, VideoPage(*video), kHtml, AFault);
}

void TVidSite::TImpl::ServePlayUrl(const httplib::Request& ARequest, httplib::Response& AResponse,
                                   const TSiteFault& AFault) {
    if (!SignedQueryValid(RawQuery(ARequest)))
        return SendDocument(ARequest, AResponse, SignatureErrorDocument(), kJson, AFault);
    ServePlayAddresses(ARequest, AResponse, AFault, PlayUrlDocument);
}

void TVidSite::TImpl::ServePlayAddresses(const httplib::Request& ARequest, httplib::Response& AResponse,
                                         const TSiteFault& AFault, TPlayAddressDocument ADocument) {
    int64_t cid = 0, quality = 0;
    std::optional<TSitePart> part;
    if (ParamNumber(ARequest, "cid", cid) && ParamNumber(ARequest, "qn", quality)) part = FCatalogue.FindPart(cid);
    if (!part || part->Qualities.empty())
        return SendDocument(ARequest, AResponse, NoSuchVideoDocument(), kJson, AFault);
    const auto sizer = [this](const TSitePart& APart, int AQuality, int AIndex) {
        return static_cast<int64_t>(FSegments.Segment(APart, AQuality, AIndex)->size());
    };
    SendDocument(ARequest, AResponse, ADocument(*part, static_cast<int>(quality), sizer), kJson, AFault);
}

void TVidSite::TImpl::ServeComments(const httplib::Request& ARequest, httplib::Response& AResponse,
                                    const TSiteFault& AFault) {
    if (!FCommentLimiter.Admit()) return SimpleAnswer(AResponse, 412, "Precondition Failed");
    int64_t cid = 0;
    ParamNumber(ARequest, "oid", cid);
    const int entries = FCatalogue.FindPart(cid) ? 60 : 0;
    // Raw DEFLATE without a Content-Encoding: the program inflates it itself.
    const std::string body = AFault.CorruptBody ? BrokenDeflateBody() : RawDeflate(CommentDocument(cid, entries));
    SendText(AResponse, body, "text/xml", BodyOptions(AFault), FStop);
}

void TVidSite::TImpl::ServeSegment(const httplib::Request& ARequest, httplib::Response& AResponse,
                                   const TSiteFault& AFault) {
    if (!RefererFromSite(ARequest.get_header_value("Referer"))) return SimpleAnswer(AResponse, 403, "Forbidden");
    TSegmentName name;
    std::optional<TSitePart> part;
    if (ParseSegmentPath(ARequest.path, name)) part = FCatalogue.FindPart(name.Cid);
    if (!part || name.Index < 1 || name.Index > part->SegmentCount ||
        std::find(part->Qualities.begin(), part->Qualities.end(), name.Quality) == part->Qualities.end())
        return SimpleAnswer(AResponse, 404, "Not Found");

    std::shared_ptr<const std::string> segment = FSegments.Segment(*part, name.Quality, name.Index);
    if (AFault.CorruptBody) segment = std::make_shared<const std::string>(CorruptSegment(*segment));
    const int64_t size = static_cast<int64_t>(segment->size());
    AResponse.set_header("Accept-Ranges", "bytes");
    AResponse.set_header("Last-Modified", kLastModified);
    AResponse.set_header("ETag", "\"" + Md5Hex(ARequest.path).substr(0, 16) + "\"");
    AResponse.set_header("Cache-Control", "max-age=3600");
    TByteRange range{0, size - 1};
    switch (ResolveRange(ARequest.get_header_value("Range"), size, range)) {
        case TRangeAnswer::Unsatisfiable:
            AResponse.status = 416;
            AResponse.set_header("Content-Range", "bytes */" + std::to_string(size));
            return;
        case TRangeAnswer::Partial:
            AResponse.status = 206;
            AResponse.set_header("Content-Range", "bytes " + std::to_string(range.First) + "-" +
                                                      std::to_string(range.Last) + "/" + std::to_string(size));
            break;
        case TRangeAnswer::Whole:
            range = {0, size - 1};
            break;
    }
    TBodyOptions options = BodyOptions(AFault);
    options.RateBytesPerSecond = FMediaRate.load();
    SendBody(AResponse, std::move(segment), range.First, range.Last - range.First + 1, "video/x-flv", options, FStop);
}

TVidSiteOptions DemoSiteOptions() {
    TVidSiteOptions options;
    const char* cache = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    if (cache && *cache) {
        options.PlayableSegmentFolder = std::string(cache) + "/vidsite/segments";
    } else if (home && *home) {
        options.PlayableSegmentFolder = std::string(home) + "/.cache/vidsite/segments";
    } else {
        options.PlayableSegmentFolder = (std::filesystem::temp_directory_path() / "vidsite-segments").string();
    }
    options.MediaRateBytesPerSecond = 512 * 1024;
    options.CommentLimit = 20;
    return options;
}

// ---- TVidSite ----

TVidSite::TVidSite(TVidSiteOptions AOptions) : FImpl(std::make_unique<TImpl>(std::move(AOptions))) {}

TVidSite::~TVidSite() = default;

int TVidSite::HttpsPort() const { return FImpl->FHttps->Port(); }
int TVidSite::HttpPort() const { return FImpl->FHttp->Port(); }
const std::string& TVidSite::CaCertificatePem() const { return FImpl->FCaPem; }
const std::string& TVidSite::CaCertificateFile() const { return FImpl->FCaFile; }

std::vector<THostRoute> TVidSite::HostOverrides() const {
    std::vector<std::string> hosts = {kMainHost, kDomain, kInterfaceHost, kApiHost};
    for (const char* media : kMediaHosts) hosts.push_back(media);
    std::vector<THostRoute> routes;
    for (const std::string& host : hosts) {
        routes.push_back({host, 443, kLoopback, FImpl->FHttps->Port()});
        routes.push_back({host, 80, kLoopback, FImpl->FHttp->Port()});
    }
    return routes;
}

TSiteCatalogue& TVidSite::Catalogue() { return FImpl->FCatalogue; }
TSiteFaults& TVidSite::Faults() { return FImpl->FFaults; }
TRequestLog& TVidSite::Log() { return FImpl->FLog; }

void TVidSite::SetCommentLimit(int ALimit, std::chrono::milliseconds AWindow) {
    FImpl->FCommentLimiter.Configure(ALimit, AWindow);
}

void TVidSite::SetMediaRate(int64_t ABytesPerSecond) { FImpl->FMediaRate = ABytesPerSecond; }

std::shared_ptr<const std::string> TVidSite::SegmentBytes(int64_t ACid, int AQuality, int AIndex) {
    const std::optional<TSitePart> part = FImpl->FCatalogue.FindPart(ACid);
    if (!part) return nullptr;
    return FImpl->FSegments.Segment(*part, AQuality, AIndex);
}

}  // namespace vidsite
