// The worker against a real nginx on loopback: the information of a large
// file, the file fetched in ranges by workers running at once into one
// stream, over HTTP and HTTPS, and a compressed text decoded on the way.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/clDC.h"
#include "support/NginxServer.h"

namespace cl {
namespace {

class DownloadWorkerNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FServer = std::make_unique<cltest::TNginxServer>();
        AddTrustAnchorsPem(FServer->CaPem());
    }
    static void TearDownTestSuite() { FServer.reset(); }

    static TclResourceInfo FetchInfo(const std::string& AUrl) {
        TclDownLoadThreader worker(AUrl, nullptr, true);
        TclResourceInfo info;
        worker.OnGetResourceInfo = [&](TObject*, TclResourceInfo* AInfo) { info.Assign(AInfo); };
        worker.Perform();
        worker.Wait();
        EXPECT_EQ(worker.Status(), psSuccess) << worker.LastError();
        return info;
    }

    // Fetches AUrl in ARanges ranges at once into one file and returns its bytes.
    static std::string FetchInRanges(const std::string& AUrl, int ARanges) {
        const TclResourceInfo info = FetchInfo(AUrl);
        EXPECT_TRUE(info.AllowsRandomAccess());
        const std::string file = FServer->Folder() + "/ranges.out";
        {
            TFileStream stream(file, fmCreate);
            stream.SetSize(info.Size());
            std::mutex accessor;
            TclResourceStateList ranges;
            ranges.Init(ARanges, info.Size());
            std::vector<std::unique_ptr<TclDownLoadThreader>> workers;
            for (int i = 0; i < ranges.Count(); ++i) {
                auto worker = std::make_unique<TclDownLoadThreader>(AUrl, &stream, false);
                TclResourceStateItem* range = ranges.Items(i);
                worker->SetResourceInfo(const_cast<TclResourceInfo*>(&info));
                worker->SetDataAccessor(&accessor);
                worker->SetResourcePos(range->ResourcePos() + range->BytesProceed());
                worker->SetBytesToProceed(range->BytesToProceed() - range->BytesProceed());
                worker->OnDataItemProceed = [&ranges, range](TObject*, TclResourceInfo*, int64_t APosition,
                                                             const uint8_t*, int) {
                    ranges.UpdateProceed(range, APosition - range->ResourcePos());
                };
                worker->OnStatusChanged = [&ranges, range](TObject*, TclProcessStatus AStatus) {
                    ranges.UpdateStatus(range, AStatus);
                };
                workers.push_back(std::move(worker));
            }
            for (auto& worker : workers) worker->Perform();
            for (auto& worker : workers) worker->Wait();
            EXPECT_EQ(ranges.LastStatus(), psSuccess);
            EXPECT_EQ(ranges.BytesProceed(), info.Size());
        }
        return cltest::ReadWholeFile(file);
    }

    static std::unique_ptr<cltest::TNginxServer> FServer;
};

std::unique_ptr<cltest::TNginxServer> DownloadWorkerNginx::FServer;

TEST_F(DownloadWorkerNginx, TheInformationOfAFileAllowsRanges) {
    const TclResourceInfo info = FetchInfo(FServer->HttpBase() + "/static/large.bin");
    EXPECT_EQ(info.Size(), 4 << 20);
    EXPECT_TRUE(info.AllowsRandomAccess());
    EXPECT_EQ(info.StatusCode(), 200);
    EXPECT_EQ(info.Name(), "/static/large.bin");
}

TEST_F(DownloadWorkerNginx, RangesFetchedAtOnceGiveTheServedFile) {
    const std::string expected = cltest::ReadWholeFile(FServer->FileOf("/static/large.bin"));
    EXPECT_EQ(cltest::Sha256Hex(FetchInRanges(FServer->HttpBase() + "/static/large.bin", 3)),
              cltest::Sha256Hex(expected));
    EXPECT_EQ(cltest::Sha256Hex(FetchInRanges(FServer->HttpsBase() + "/static/large.bin", 5)),
              cltest::Sha256Hex(expected));
}

TEST_F(DownloadWorkerNginx, ACompressedWholeBodyIsDecodedOnce) {
    TMemoryStream stream;
    TclDownLoadThreader worker(FServer->HttpBase() + "/static/text.txt", &stream, false);
    worker.SetAllowCompression(true);
    worker.SetDoNotGetResourceInfo(true);
    worker.Perform();
    worker.Wait();
    ASSERT_EQ(worker.Status(), psSuccess) << worker.LastError();
    EXPECT_TRUE(worker.ResourceInfo()->Compressed());
    const std::string expected = cltest::ReadWholeFile(FServer->FileOf("/static/text.txt"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.GetSize())),
              expected);
}

TEST_F(DownloadWorkerNginx, AMissingFileFailsWithItsStatus) {
    TclDownLoadThreader worker(FServer->HttpBase() + "/missing.bin", nullptr, true);
    worker.SetTryCount(2);
    worker.SetReconnectAfter(10);
    int errors = 0;
    worker.OnError = [&](TObject*, const std::string&, int ACode) {
        ++errors;
        EXPECT_EQ(ACode, 404);
    };
    worker.Perform();
    worker.Wait();
    EXPECT_EQ(worker.Status(), psFailed);
    EXPECT_EQ(errors, 1);
}

}  // namespace
}  // namespace cl
