// The worker over FTP against a real FTP server on loopback: the size and
// date of a file, a whole file, a range (FTP reads always start at the file's
// beginning), and deleting files and folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "engine/clDC.h"
#include "support/FtpTestServer.h"

namespace cl {
namespace {

std::string Content(size_t ASize) {
    std::string text(ASize, '\0');
    for (size_t i = 0; i < ASize; ++i) text[i] = static_cast<char>('A' + (i * 13 + i / 97) % 26);
    return text;
}

class DownloadWorkerFtp : public ::testing::Test {
protected:
    void SetUp() override { FServer.WriteFile("/dir/file.bin", FContent); }

    std::string Url(const std::string& APath) const {
        return "ftp://127.0.0.1:" + std::to_string(FServer.Port()) + APath;
    }
    // The item puts the credentials into the parsed address.
    static void LogIn(TclCustomThreader& AWorker) {
        AWorker.OnUrlParsing = [](TObject*, TclUrlParser& AParser) {
            AParser.SetUserName(cltest::TFtpTestServer::UserName);
            AParser.SetPassword(cltest::TFtpTestServer::Password);
        };
        AWorker.SetTryCount(2);
        AWorker.SetReconnectAfter(20);
    }
    static void RunToEnd(TclCustomThreader& AWorker) {
        AWorker.Perform();
        AWorker.Wait();
    }

    cltest::TFtpTestServer FServer;
    const std::string FContent = Content(70000);
};

TEST_F(DownloadWorkerFtp, TheInformationGivesSizeAndDateButNoRandomAccess) {
    TclDownLoadThreader worker(Url("/dir/file.bin"), nullptr, true);
    LogIn(worker);
    TclResourceInfo info;
    worker.OnGetResourceInfo = [&](TObject*, TclResourceInfo* AInfo) { info.Assign(AInfo); };
    RunToEnd(worker);
    ASSERT_EQ(worker.Status(), psSuccess) << worker.LastError();
    EXPECT_EQ(info.Size(), 70000);
    EXPECT_FALSE(info.AllowsRandomAccess());
    EXPECT_EQ(info.Name(), "/dir/file.bin");
    struct stat file {};
    ASSERT_EQ(stat(FServer.PathOf("/dir/file.bin").c_str(), &file), 0);
    const std::time_t seconds = file.st_mtime;
    // The listing has whole seconds (or minutes for old files).
    EXPECT_NEAR(info.Date(), UnixTimeToLocalDateTime(seconds), 61.0 / 86400);
}

TEST_F(DownloadWorkerFtp, AWholeFileAndARangeOfItArriveIntact) {
    {
        TMemoryStream stream;
        TclDownLoadThreader worker(Url("/dir/file.bin"), &stream, false);
        LogIn(worker);
        RunToEnd(worker);
        ASSERT_EQ(worker.Status(), psSuccess) << worker.LastError();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.Memory()), stream.GetSize()), FContent);
    }
    TMemoryStream stream;
    stream.SetSize(70000);
    TclResourceInfo info;
    TclDownLoadThreader worker(Url("/dir/file.bin"), &stream, false);
    LogIn(worker);
    worker.SetResourceInfo(&info);
    worker.SetResourcePos(30000);
    worker.SetBytesToProceed(25000);
    int64_t lastPosition = 0;
    worker.OnDataItemProceed = [&](TObject*, TclResourceInfo*, int64_t APosition, const uint8_t*, int) {
        lastPosition = APosition;
    };
    RunToEnd(worker);
    ASSERT_EQ(worker.Status(), psSuccess) << worker.LastError();
    const std::string written(reinterpret_cast<const char*>(stream.Memory()), stream.GetSize());
    EXPECT_EQ(written.substr(30000, 25000), FContent.substr(30000, 25000));
    EXPECT_EQ(written.substr(0, 30000), std::string(30000, '\0'));
    EXPECT_EQ(written.substr(55000), std::string(15000, '\0'));
    EXPECT_EQ(lastPosition, 55000);
}

TEST_F(DownloadWorkerFtp, FilesAndFoldersAreDeleted) {
    FServer.WriteFile("/gone/x.txt", "x");
    TclDeleteThreader file(Url("/gone/x.txt"));
    LogIn(file);
    RunToEnd(file);
    EXPECT_EQ(file.Status(), psSuccess) << file.LastError();
    EXPECT_FALSE(std::filesystem::exists(FServer.PathOf("/gone/x.txt")));

    TclDeleteThreader folder(Url("/gone/"));
    LogIn(folder);
    RunToEnd(folder);
    EXPECT_EQ(folder.Status(), psSuccess) << folder.LastError();
    EXPECT_FALSE(std::filesystem::exists(FServer.PathOf("/gone")));

    TclDeleteThreader missing(Url("/never/there.txt"));
    LogIn(missing);
    int errors = 0;
    missing.OnError = [&](TObject*, const std::string& AText, int) {
        ++errors;
        EXPECT_FALSE(AText.empty());
    };
    RunToEnd(missing);
    EXPECT_EQ(missing.Status(), psFailed);
    EXPECT_EQ(errors, 1);
}

}  // namespace
}  // namespace cl
