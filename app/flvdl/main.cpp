// flvdl: the whole flow of the window from the command line, without a
// display: a page resolved into videos, their segments downloaded and
// joined, their comment files stored. See HelpText() for the options.
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BlTexts.h"
#include "Interrupt.h"
#include "Options.h"
#include "Progress.h"
#include "Report.h"
#include "Run.h"
#include "engine/clSyncUtils.h"
#include "qtpump/clQtMessagePump.h"

namespace {

constexpr int kEngineThreadsWait = 5000;

int Usage(const std::string& AError) {
    std::fprintf(stderr, "flvdl: %s\nTry 'flvdl --help'.\n", AError.c_str());
    return flvdl::kExitUsage;
}

int RunFlow(const flvdl::TOptions& AOptions) {
    std::string error;
    const auto folder = flvdl::PrepareFolder(AOptions.Folder, error);
    if (!folder) return Usage(error);
    if (!flvdl::ApplyNetworkOptions(AOptions, error)) return Usage(error);

    // With --json standard output carries the summary alone.
    FILE* events = AOptions.Json ? stderr : stdout;
    const auto progress = flvdl::TProgressView::For(events);
    flvdl::TInterrupt interrupt;
    flvdl::TRun run(AOptions, *folder, *progress, stderr);
    interrupt.OnInterrupt = [&run] { run.Interrupt(); };
    const int status = run.Execute();
    if (AOptions.Json && status != flvdl::kExitUsage) {
        const std::string json = run.Report().Json();
        std::fwrite(json.data(), 1, json.size(), stdout);
        std::fflush(stdout);
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const flvdl::TCommandLine line = flvdl::ParseCommandLine(arguments);
    switch (line.Command) {
        case flvdl::TCommand::Usage:
            return Usage(line.Error);
        case flvdl::TCommand::Help:
            std::fputs(flvdl::HelpText(), stdout);
            return flvdl::kExitDone;
        case flvdl::TCommand::Version:
            std::printf("flvdl %s\n", bl::kVersion);
            return flvdl::kExitDone;
        case flvdl::TCommand::Run:
            break;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("flvdownloader"));
    // Every wait of the library serves this thread's events from here on.
    cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
    const int status = RunFlow(line.Options);
    // The engine's workers free their connections on their own threads after
    // their end was told; the exit must not race them nor the TLS and HTTP
    // libraries' clean-up. A thread that hangs does not hold the exit long.
    if (!cl::WaitForEngineThreads(kEngineThreadsWait)) {
        std::fputs("flvdl: some download threads did not end in time\n", stderr);
    }
    cl::TclMessagePump::Uninstall();
    return status;
}
