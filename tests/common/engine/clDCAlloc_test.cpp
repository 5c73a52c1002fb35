// The read path allocates nothing per chunk: a body of ten times as many
// chunks costs no more allocations than a short one (beyond a small slack
// for buffers that grow once).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/clDC.h"
#include "support/ScriptedHttpServer.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t ASize) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(ASize ? ASize : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* APointer) noexcept { std::free(APointer); }
void operator delete(void* APointer, std::size_t) noexcept { std::free(APointer); }

namespace cl {
namespace {

long AllocationsToFetch(int AChunks) {
    const int batch = 512;
    const std::string body(static_cast<size_t>(AChunks) * batch, 'q');
    cltest::TScriptedHttpServer server({cltest::TScriptedReply(cltest::HttpReply(
        "HTTP/1.1 200 OK", "Content-Type: application/octet-stream\r\nConnection: close\r\n", body))});
    TclNullStream sink;
    TclDownLoadThreader worker("http://127.0.0.1:" + std::to_string(server.Port()) + "/b", &sink, false);
    worker.SetDoNotGetResourceInfo(true);
    worker.SetBatchSize(batch);
    int64_t received = 0;
    worker.OnDataItemProceed = [&](TObject*, TclResourceInfo*, int64_t, const uint8_t*, int ASize) {
        received += ASize;
    };
    const long before = gAllocations.load();
    worker.Perform();
    worker.Wait();
    const long used = gAllocations.load() - before;
    EXPECT_EQ(worker.Status(), psSuccess);
    EXPECT_EQ(received, static_cast<int64_t>(body.size()));
    return used;
}

TEST(DownloadWorkerHotPath, ChunksCostNoAllocations) {
    AllocationsToFetch(50);  // warms the process-wide pieces
    const long few = AllocationsToFetch(100);
    const long many = AllocationsToFetch(1000);
    EXPECT_LT(many - few, 100) << few << " allocations for 100 chunks, " << many << " for 1000";
}

}  // namespace
}  // namespace cl
