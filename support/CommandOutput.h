// Runs a command line through the shell, as a user would run a tool: its
// exit status (-1 when it did not exit by itself) and its standard output
// and error together.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace cltest {

struct TCommandOutput {
    int Status = -1;
    std::string Text;
};

inline TCommandOutput RunCommandLine(const std::string& ALine) {
    TCommandOutput result;
    FILE* pipe = ::popen((ALine + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.Text.append(buffer, n);
    const int status = ::pclose(pipe);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace cltest
