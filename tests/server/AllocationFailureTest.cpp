// An allocation that fails while one connection is served costs that connection, never the process.
//
// This test binary's operator new can be told to fail once, on one thread,
// for one allocation of at least a given size.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "server/ServerFixture.h"

// The replacements below pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::size_t> g_nFailAtLeast{0};
std::atomic<std::thread::id> g_failingThread{};
}  // namespace

namespace {
void* Allocate(std::size_t size) noexcept {
    std::size_t threshold = g_nFailAtLeast.load(std::memory_order_acquire);
    if (threshold != 0 && size >= threshold && std::this_thread::get_id() == g_failingThread.load() &&
        g_nFailAtLeast.compare_exchange_strong(threshold, 0)) {
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
}
void* AllocateOrThrow(std::size_t size) {
    if (void* block = Allocate(size)) return block;
    throw std::bad_alloc();
}
}  // namespace

// Every plain form, so that each allocation and its release meet in malloc and free.
void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

using namespace server_test;

namespace {

TEST_F(ServerFixture, AllocationFailureInAHandlerClosesOnlyThatConnection) {
    // A listing whose document takes allocations of hundreds of kilobytes.
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(MakePackage(L"tree/package-with-a-rather-long-name-" + std::to_wstring(i) + L".msi", ""));
    }
    ASSERT_TRUE(MakePackage(L"a.zip", "A"));
    const std::string listing = "GET /packages/tree/ListFolderContents.asp HTTP/1.1\r\n\r\n";
    CHttpClient first;
    Connect(first);
    ASSERT_TRUE(first.Send("GET /packages/a.zip HTTP/1.1\r\n\r\n"));  // the thread's own buffers exist now
    CHttpClient::Reply reply;
    ASSERT_TRUE(first.ReceiveReply(reply, 10000));

    // The head kept for this request needs a block of tens of kilobytes,
    // which the listener thread does not get.
    RunOnLoop([] { g_failingThread = std::this_thread::get_id(); });
    g_nFailAtLeast = 32 * 1024;
    ASSERT_TRUE(first.Send("GET /packages/a.zip HTTP/1.1\r\nX-Filler: " + std::string(40000, 'x') + "\r\n\r\n"));
    std::string received;
    EXPECT_TRUE(first.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, "");
    EXPECT_EQ(g_nFailAtLeast.load(), 0u) << "no allocation failed";
    g_nFailAtLeast = 0;
    EXPECT_TRUE(WaitForLog(L"Connection closed: not enough memory to serve it"));

    // The next request is served, the listing included.
    CHttpClient second;
    Connect(second);
    ASSERT_TRUE(second.Send(listing));
    ASSERT_TRUE(second.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.status, 200);
    EXPECT_GT(reply.body.size(), 3000u * 40);
    EXPECT_EQ(LiveConnectionCount(), 1u);
}

// A listing whose finished entry cannot be handed back gets the reply of a
// listing without memory, and the request behind it is answered too.
TEST_F(ServerFixture, AListingWhoseEntryCannotBeStoredIsAnsweredUnavailable) {
    ASSERT_TRUE(MakePackage(L"sub/a.zip", "A"));
    // The worker's first allocation after the build is the entry's.
    SetAfterListingBuilt([] {
        g_failingThread = std::this_thread::get_id();
        g_nFailAtLeast = 1;
    });
    CHttpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n"
                            "GET /packages/sub/a.zip HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(g_nFailAtLeast.exchange(0), 0u) << "no allocation failed";
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, "");
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, "A");
    EXPECT_TRUE(WaitForLog(L"503_SERVICE_UNAVAILABLE => '" + PackagePath(L"sub") + L"' (error 8)"));
}

}  // namespace
