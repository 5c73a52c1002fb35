// FTP for the internet library: the transfer of a file, a listing or a
// command on a connection, and the find handle that hands out a listing's
// entries one by one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/clWinInetTransfer.h"

namespace cl::wininet {

class TFindHandle : public THandle {
public:
    TFindHandle(std::shared_ptr<THandle> AConnect, uintptr_t AContext)
        : THandle(hkFtpFind, std::move(AConnect), AContext) {}
    std::vector<WIN32_FIND_DATAW> Entries;
    size_t Next = 0;
};

// Sets up one FTP transfer on APath of AConnect.
bool PrepareFtp(TTransfer& ATransfer, const TConnect& AConnect, const std::string& APath);
// Starts it, waiting for a free connection slot of the server.
bool StartFtp(TTransfer& ATransfer, const TConnect& AConnect);

// A short FTP exchange of its own (login check, delete, remove directory):
// a handle below the connection, so that closing the connection wakes it.
bool RunFtpCommand(const std::shared_ptr<TConnect>& AConnect, const std::string& ACommand);

// The whole listing of ADirectory, by MLSD where the server knows it, else by LIST.
bool ListDirectory(const std::shared_ptr<TConnect>& AConnect, const std::string& ADirectory,
                   std::vector<WIN32_FIND_DATAW>& AEntries);

}  // namespace cl::wininet
