#include "http/clHttpAuth.h"

#include <sys/time.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

#include "http/clHeaderFieldList.h"
#include "http/clSspiAuth.h"
#include "rtl/clTranslator.h"
#include "http/clUriUtils.h"
#include "rtl/clBase64.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"
#include "transport/clCryptUtils.h"

namespace cl {

namespace {

// The registry: schemes are shared by every client and worker and keep their
// result in fields, so one lock covers the list and each whole Authorize.
struct TclAuthRegistry {
    std::recursive_mutex Lock;
    std::vector<std::unique_ptr<TclHttpAuthorization>> Schemes;

    TclAuthRegistry() {
        Schemes.push_back(std::make_unique<TclHttpBasicAuthorization>());
        Schemes.push_back(std::make_unique<TclHttpDigestAuthorization>());
        Schemes.push_back(std::make_unique<TclHttpNtlmAuthorization>());
    }
};

TclAuthRegistry& Registry() {
    static TclAuthRegistry registry;
    return registry;
}

// The qop list split at "," without trimming: "auth" only when one piece is
// exactly that.
bool OffersAuth(const std::string& AQopOptions) {
    const std::string lower = LowerCase(AQopOptions);
    size_t start = 0;
    for (;;) {
        const size_t comma = lower.find(',', start);
        if (lower.substr(start, comma == std::string::npos ? std::string::npos : comma - start) == "auth") return true;
        if (comma == std::string::npos) return false;
        start = comma + 1;
    }
}

std::string Quoted(const std::string& AValue) {
    if (!AValue.empty() && (AValue.front() == '"' || AValue.back() == '"')) return AValue;
    return "\"" + AValue + "\"";
}

}  // namespace

bool TclHttpAuthorization::Authorize(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                                     const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext,
                                     bool& AStartNewConnection, std::string& AuthValue) {
    TclAuthRegistry& registry = Registry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock);
    for (auto it = registry.Schemes.rbegin(); it != registry.Schemes.rend(); ++it) {
        TclHttpAuthorization& scheme = **it;
        scheme.FAuthValue.clear();
        scheme.FStartNewConnection = false;
        scheme.AuthorizeScheme(AUrl, AMethod, AUserName, APassword, AuthChallenge, AContext);
        if (!scheme.FAuthValue.empty()) {
            AuthValue = scheme.FAuthValue;
            AStartNewConnection = scheme.FStartNewConnection;
            return true;
        }
    }
    AuthValue.clear();
    AStartNewConnection = false;
    return false;
}

void TclHttpAuthorization::RegisterAuthorization(std::unique_ptr<TclHttpAuthorization> AAuthorization) {
    TclAuthRegistry& registry = Registry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock);
    registry.Schemes.push_back(std::move(AAuthorization));
}

std::string TclHttpAuthorization::FindChallenge(const TStrings& AuthChallenge, const std::string& AScheme) {
    const std::string scheme = LowerCase(AScheme);
    for (int i = 0; i < AuthChallenge.Count(); ++i) {
        if (LowerCase(AuthChallenge[i]).find(scheme) != std::string::npos) return AuthChallenge[i];
    }
    return std::string();
}

// --- Basic ---

void TclHttpBasicAuthorization::AuthorizeScheme(const TclUrlParser&, const std::string&, const std::string& AUserName,
                                                const std::string& APassword, const TStrings& AuthChallenge, TObject*) {
    if (FindChallenge(AuthChallenge, "basic").empty()) return;
    FStartNewConnection = true;
    if (AUserName.empty() && APassword.empty()) return;
    std::string text = AUserName;
    if (!AUserName.empty()) text += ":";
    text += APassword;
    FAuthValue = "Basic " + Base64Encode(TclTranslator::GetBytes(text, std::string()));
}

// --- Digest ---

std::string HttpDigestMd5(const std::string& AText) {
    if (AText.empty()) return std::string();
    const std::vector<uint8_t> bytes = TclTranslator::GetBytes(AText, std::string());
    std::string digest = Md5Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (digest.empty()) throw Exception("MD5 digest is not available");
    return digest;
}

void TclDigestChallenge::Parse(const std::string& AChallenge) {
    TclHeaderFieldList fields;
    auto item = [&](const char* AName) { return fields.GetFieldValueItem(AChallenge, AName); };
    FCharSet = item("charset");
    FRealm = item("realm");
    FDomain = item("domain");
    FNonce = item("nonce");
    FOpaque = item("opaque");
    FStale = SameText(item("stale"), "true");
    FAlgorithm = item("algorithm");
    FQopOptions = item("qop");
    FUserName = item("username");
    FUri = item("uri");
    FClientNonce = item("cnonce");
    const std::string nc = item("nc");
    FNonceCount = 0;
    if (!nc.empty() && nc.size() <= 8 && nc.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        FNonceCount = static_cast<int>(std::stoul(nc, nullptr, 16));
    }
    FResponse = item("response");
}

std::string TclDigestChallenge::BuildAuthorization() const {
    const bool qop = !FQopOptions.empty();
    std::vector<std::string> items;
    items.push_back("username=" + Quoted(FUserName));
    items.push_back("realm=" + Quoted(FRealm));
    if (qop) {
        items.push_back("qop=" + Quoted(FQopOptions));
        items.push_back("algorithm=" + Quoted(FAlgorithm));
    }
    items.push_back("uri=" + Quoted(FUri));
    items.push_back("nonce=" + Quoted(FNonce));
    if (qop) {
        items.push_back("nc=" + IntToHex(static_cast<uint32_t>(FNonceCount), 8));
        items.push_back("cnonce=" + Quoted(FClientNonce));
    }
    items.push_back("opaque=" + Quoted(FOpaque));
    items.push_back("response=" + Quoted(FResponse));
    std::string value = "Digest ";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) value += ", ";
        value += items[i];
    }
    return value;
}

std::string TclHttpDigestAuthorization::GenerateClientNonce() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    const time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    const auto ticks = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    const std::string text =
        IntToHex(static_cast<uint64_t>(local.tm_mon + 1), 2) + IntToHex(static_cast<uint64_t>(local.tm_mday), 2) +
        IntToHex(static_cast<uint64_t>(local.tm_hour), 2) + IntToHex(static_cast<uint64_t>(local.tm_min), 2) +
        IntToHex(static_cast<uint64_t>(local.tm_sec), 2) + IntToHex(static_cast<uint64_t>(tv.tv_usec / 1000), 4) +
        IntToHex(ticks, 8) + IntToHex(ticks + 1u, 8);
    return "ab" + LowerCase(text);
}

void TclHttpDigestAuthorization::AuthorizeScheme(const TclUrlParser& AUrl, const std::string& AMethod,
                                                 const std::string& AUserName, const std::string& APassword,
                                                 const TStrings& AuthChallenge, TObject*) {
    const std::string line = FindChallenge(AuthChallenge, "digest");
    if (line.empty() || AUserName.empty()) return;

    TclDigestChallenge challenge;
    challenge.Parse(line);
    if (!challenge.FQopOptions.empty()) {
        if (challenge.FClientNonce.empty() || challenge.FStale) {
            challenge.FClientNonce = GenerateClientNonce();
            challenge.FNonceCount = 1;
        } else {
            ++challenge.FNonceCount;
        }
    }
    challenge.FMethod = AMethod;
    challenge.FUserName = AUserName;
    challenge.FUri = AUrl.AbsolutePath();

    std::string a1;
    if (challenge.FAlgorithm.empty() || SameText(challenge.FAlgorithm, "md5")) {
        a1 = AUserName + ":" + challenge.FRealm + ":" + APassword;
    } else if (SameText(challenge.FAlgorithm, "md5-sess")) {
        a1 = HttpDigestMd5(AUserName + ":" + challenge.FRealm + ":" + APassword) + ":" + challenge.FNonce + ":" +
             challenge.FClientNonce;
    } else {
        return;  // an algorithm we cannot answer
    }
    const std::string a2 = challenge.FMethod + ":" + challenge.FUri;

    if (!challenge.FQopOptions.empty()) {
        if (OffersAuth(challenge.FQopOptions)) challenge.FQopOptions = "auth";
    }
    const std::string ha1 = HttpDigestMd5(a1);
    const std::string ha2 = HttpDigestMd5(a2);
    if (ha1.empty() || ha2.empty()) return;
    std::string middle = challenge.FNonce + ":";
    if (!challenge.FQopOptions.empty()) {
        middle += IntToHex(static_cast<uint32_t>(challenge.FNonceCount), 8) + ":" + challenge.FClientNonce + ":" +
                  challenge.FQopOptions + ":";
    }
    challenge.FResponse = HttpDigestMd5(ha1 + ":" + middle + ha2);
    FAuthValue = challenge.BuildAuthorization();
}

}  // namespace cl
