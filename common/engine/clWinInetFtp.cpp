// FTP for the internet library: set-up and start of a transfer on a
// connection, short command exchanges, and directory listings.
#include "engine/clWinInetFtp.h"

#include "engine/clWinInetFtpListing.h"
#include "engine/clWinInetLimits.h"
#include "engine/clWinInetProxy.h"
#include "rtl/clStrUtils.h"

namespace cl::wininet {

namespace {

// Runs a transfer to its end on the calling thread.
bool RunToEnd(TTransfer& ATransfer) {
    if (ATransfer.Drive(true, [] { return false; }) == TDrive::Closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!ATransfer.Succeeded()) return Fail(ATransfer.FailureCode());
    return true;
}

}  // namespace

bool PrepareFtp(TTransfer& ATransfer, const TConnect& AConnect, const std::string& APath) {
    const uint16_t port = AConnect.Port != 0 ? AConnect.Port : INTERNET_DEFAULT_FTP_PORT;
    const std::string url = "ftp://" + BracketIPv6(AConnect.Server) + ":" + std::to_string(port) + FtpUrlPath(APath);
    if (!ATransfer.Prepare(url, AConnect.Root(), "ftp", AConnect.Server)) return false;
    CURL* e = ATransfer.Easy();
    const TOptions& options = AConnect.Options();
    if (!options.UserName.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, options.UserName.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, options.Password.c_str());
    }
    if (!AConnect.Passive) curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
    curl_easy_setopt(e, CURLOPT_TRANSFERTEXT, 0L);
    return true;
}

bool StartFtp(TTransfer& ATransfer, const TConnect& AConnect) {
    const uint16_t port = AConnect.Port != 0 ? AConnect.Port : INTERNET_DEFAULT_FTP_PORT;
    return ATransfer.Start(ServerKey("ftp", AConnect.Server, port), false, false);
}

bool RunFtpCommand(const std::shared_ptr<TConnect>& AConnect, const std::string& ACommand) {
    auto op = std::make_shared<TTransferHandle>(hkOperation, AConnect, AConnect->Context(), true);
    op->AttachToParent();
    if (!PrepareFtp(op->Transfer, *AConnect, "/")) return false;
    curl_easy_setopt(op->Transfer.Easy(), CURLOPT_NOBODY, 1L);
    if (!ACommand.empty()) op->Transfer.SetQuote(curl_slist_append(nullptr, ACommand.c_str()));
    if (!StartFtp(op->Transfer, *AConnect)) return false;
    return RunToEnd(op->Transfer);
}

bool ListDirectory(const std::shared_ptr<TConnect>& AConnect, const std::string& ADirectory,
                   std::vector<WIN32_FIND_DATAW>& AEntries) {
    std::string dir = ADirectory.empty() ? "/" : ADirectory;
    if (dir.back() != '/') dir += '/';
    for (const bool mlsd : {true, false}) {
        auto op = std::make_shared<TTransferHandle>(hkOperation, AConnect, AConnect->Context(), true);
        op->AttachToParent();
        if (!PrepareFtp(op->Transfer, *AConnect, dir)) return false;
        if (mlsd) curl_easy_setopt(op->Transfer.Easy(), CURLOPT_CUSTOMREQUEST, "MLSD");
        op->Transfer.CollectBody();
        if (!StartFtp(op->Transfer, *AConnect)) return false;
        if (!RunToEnd(op->Transfer)) {
            if (mlsd && GetLastError() == ERROR_INTERNET_EXTENDED_ERROR && StartsText("50", LastResponse())) continue;
            return false;
        }
        AEntries = mlsd ? ParseMlsd(op->Transfer.Collected()) : ParseUnixList(op->Transfer.Collected());
        return true;
    }
    return false;
}

}  // namespace cl::wininet
