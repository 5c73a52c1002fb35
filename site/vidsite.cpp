// Runs the site stand-in for a person: prints its ports, the CA
// certificate's path, the host routes and sample addresses, and stops on
// Ctrl-C (or SIGTERM).
//
//   vidsite [--rate BYTES_PER_SECOND] [--comment-limit N] [--synthetic]
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "site/VidSite.h"
#include "site/VidSiteConstants.h"

namespace {

bool NumberArgument(int AArgc, char** AArgv, int& AAt, long long& AValue) {
    if (AAt + 1 >= AArgc) return false;
    char* end = nullptr;
    AValue = std::strtoll(AArgv[++AAt], &end, 10);
    return end && *end == '\0' && AValue >= 0;
}

int Usage() {
    std::fprintf(stderr, "usage: vidsite [--rate BYTES_PER_SECOND] [--comment-limit N] [--synthetic]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vidsite::TVidSiteOptions options = vidsite::DemoSiteOptions();
    for (int i = 1; i < argc; ++i) {
        long long value = 0;
        if (std::strcmp(argv[i], "--rate") == 0 && NumberArgument(argc, argv, i, value)) {
            options.MediaRateBytesPerSecond = value;
        } else if (std::strcmp(argv[i], "--comment-limit") == 0 && NumberArgument(argc, argv, i, value)) {
            options.CommentLimit = static_cast<int>(value);
        } else if (std::strcmp(argv[i], "--synthetic") == 0) {
            options.PlayableSegmentFolder.clear();
        } else {
            return Usage();
        }
    }

    // Ctrl-C is waited for, not handled, so the site stops in order.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        vidsite::TVidSite site(options);
        std::printf("https port: %d\nhttp port: %d\nca certificate: %s\n", site.HttpsPort(), site.HttpPort(),
                    site.CaCertificateFile().c_str());
        for (const vidsite::THostRoute& route : site.HostOverrides())
            if (route.Port == 443)
                std::printf("route: %s:%d -> %s:%d\n", route.Host.c_str(), route.Port, route.Address.c_str(),
                            route.TargetPort);
        for (const vidsite::TSiteVideo& video : site.Catalogue().Videos())
            std::printf("page: %s\n", vidsite::PageAddress(video).c_str());
        const std::string sample = vidsite::PageAddress(site.Catalogue().Videos().front());
        std::printf("try: curl --compressed --cacert %s --connect-to %s:443:127.0.0.1:%d %s\n",
                    site.CaCertificateFile().c_str(), vidsite::kMainHost, site.HttpsPort(), sample.c_str());
        // Everything the command-line downloader needs to reach the stand-in.
        std::string flvdl = "flvdl: --cacert " + site.CaCertificateFile();
        for (const vidsite::THostRoute& route : site.HostOverrides())
            if (route.Port == 443)
                flvdl +=
                    " --connect-to " + route.Host + ":443:" + route.Address + ":" + std::to_string(route.TargetPort);
        std::printf("%s %s\n", flvdl.c_str(), sample.c_str());
        std::printf("Ctrl-C stops the site.\n");
        std::fflush(stdout);
        int received = 0;
        sigwait(&signals, &received);
        std::printf("stopping\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vidsite: %s\n", error.what());
        return 1;
    }
    return 0;
}
