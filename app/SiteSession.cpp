#include "SiteSession.h"

#include "SiteAddresses.h"

namespace bl {

void SetUpSiteHttp(cl::TclHttp& AHttp, cl::TclHttpRequest& ARequest) {
    ARequest.Header().SetAccept("*/*");
    ARequest.Header().SetReferer(vidsite::kHomePage);
    AHttp.SetRequest(&ARequest);
    AHttp.SetUserAgent(kPageUserAgent);
}

void SetUpVideoLoader(cl::TclMultiDownLoader& ALoader) { ALoader.SetInternetAgent(kDownloaderAgent); }

void SetUpDocumentLoader(cl::TclMultiDownLoader& ALoader) {
    ALoader.SetReconnectAfter(2000);
    ALoader.SetInternetAgent(kDownloaderAgent);
    ALoader.SetDoNotGetResourceInfo(true);
    ALoader.SetMaxStartedItems(10);
}

TSiteSession::TSiteSession() {
    SetUpSiteHttp(Http, Request);
    SetUpVideoLoader(VideoLoader);
    SetUpDocumentLoader(PlayLoader);
    SetUpDocumentLoader(CommentLoader);
}

}  // namespace bl
