// What every front end needs to talk to the video site: the HTTP client of
// the page fetch with its request object (Accept "*/*" and the site's
// Referer on every request), and the three downloaders (video segments,
// play-address documents, comment files) set up with the browser agent and
// the settings the flows expect. The flows attach their own handlers.
#pragma once

#include "engine/clMultiDownLoader.h"
#include "http/clHttp.h"
#include "http/clHttpRequest.h"

namespace bl {

// The page is fetched as a phone; the downloaders present themselves as a
// desktop browser.
inline constexpr const char* kPageUserAgent = "Mozilla/5.0 (iPhone; CPU iPhone OS 9_1 like Mac OS X)";
inline constexpr const char* kDownloaderAgent =
    "Mozilla/5.0 (Windows NT 6.1; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/70.0.3538.110 Safari/537.36";

// The request object and the client of the page fetch.
void SetUpSiteHttp(cl::TclHttp& AHttp, cl::TclHttpRequest& ARequest);
// Video segments: the agent; the limit of running items is the user's.
void SetUpVideoLoader(cl::TclMultiDownLoader& ALoader);
// Play-address documents and comment files: small bodies in memory, no
// size query, up to 10 at once, a retry after 2 s.
void SetUpDocumentLoader(cl::TclMultiDownLoader& ALoader);

// The components of one session, set up as above. The request object
// outlives the client and the items that use it.
struct TSiteSession {
    TSiteSession();
    TSiteSession(const TSiteSession&) = delete;
    TSiteSession& operator=(const TSiteSession&) = delete;

    cl::TclHttpRequest Request;
    cl::TclHttp Http;
    cl::TclMultiDownLoader VideoLoader;
    cl::TclMultiDownLoader PlayLoader;
    cl::TclMultiDownLoader CommentLoader;
};

}  // namespace bl
