// The POSIX platform must behave as the Windows operations the relay was
// designed against: events that neither lose nor invent wake-ups, module
// loading from the current directory, listings with directory flags, and
// zero-filled page regions.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/folder.h"
#include "platform/lock.h"
#include "platform/module.h"
#include "platform/pages.h"
#include "platform/posix/test_hooks.h"
#include "platform/thread.h"
#include "tests/native/temp_folder.h"

using platform::WaitLimit;
using platform::WaitResult;

TEST(Events, AutoResetReleasesOneWaitPerSignalAndKeepsAnEarlySignal) {
    platform::AutoResetEvent event;
    ASSERT_TRUE(event.Create());
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::TimedOut);
    event.Signal();  // before anyone waits: must not be lost
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::TimedOut);
    event.Signal();
    event.Signal();  // signals do not count up
    EXPECT_EQ(event.Wait(WaitLimit::Forever), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::TimedOut);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    platform::ManualResetEvent event;
    ASSERT_TRUE(event.Create());
    event.Signal();
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(WaitLimit::Forever), WaitResult::Signalled);
    event.Reset();
    EXPECT_EQ(event.Wait(WaitLimit::HalfSecond), WaitResult::TimedOut);
}

TEST(Events, PingPongBetweenTwoThreadsLosesNoSignal) {
    platform::AutoResetEvent there;
    platform::AutoResetEvent back;
    ASSERT_TRUE(there.Create());
    ASSERT_TRUE(back.Create());
    constexpr int kRounds = 20000;
    std::atomic<int> answered{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            there.Wait(WaitLimit::Forever);
            answered.fetch_add(1, std::memory_order_relaxed);
            back.Signal();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        there.Signal();
        ASSERT_EQ(back.Wait(WaitLimit::Forever), WaitResult::Signalled);
    }
    partner.join();
    EXPECT_EQ(answered.load(), kRounds);
}

TEST(Events, AnUncreatedEventIsNotValidAndCloseIsRepeatable) {
    platform::ManualResetEvent event;
    EXPECT_FALSE(event.Valid());
    ASSERT_TRUE(event.Create());
    EXPECT_TRUE(event.Valid());
    event.Close();
    event.Close();
    EXPECT_FALSE(event.Valid());
}

TEST(Lock, SerialisesThreadsAndMayBeHeldAcrossAWait) {
    platform::Lock lock;
    EXPECT_FALSE(lock.IsSetUp());
    ASSERT_TRUE(lock.SetUp());
    platform::AutoResetEvent event;
    ASSERT_TRUE(event.Create());
    int counter = 0;
    std::thread other([&] {
        for (int i = 0; i < 10000; ++i) {
            platform::LockGuard guard(lock);
            ++counter;
        }
        event.Signal();
    });
    {
        platform::LockGuard guard(lock);
        for (int i = 0; i < 10000; ++i) ++counter;
    }
    event.Wait(WaitLimit::Forever);
    other.join();
    EXPECT_EQ(counter, 20000);
    lock.TearDown();
    EXPECT_FALSE(lock.IsSetUp());
}

namespace {
unsigned THREAD_ENTRY_CALL ReturnsArgument(void* argument) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
}
unsigned THREAD_ENTRY_CALL ReturnsOwnId(void*) {
    return platform::CurrentThreadId();
}
unsigned THREAD_ENTRY_CALL EndsEarly(void*) {
    platform::EndCurrentThread(77);
}
}  // namespace

TEST(Threads, JoinReturnsTheExitCodeHoweverTheThreadEnded) {
    platform::Thread returning;
    ASSERT_TRUE(returning.Start(ReturnsArgument, reinterpret_cast<void*>(uintptr_t{4242})));
    EXPECT_NE(returning.Id(), 0u);
    EXPECT_EQ(returning.Join(), 4242u);
    EXPECT_FALSE(returning.Started());

    platform::Thread identified;
    ASSERT_TRUE(identified.Start(ReturnsOwnId, nullptr));
    const uint32_t id = identified.Id();
    EXPECT_NE(id, platform::CurrentThreadId());
    EXPECT_EQ(identified.Join(), id);  // the id the thread knows itself by

    platform::Thread ending;
    ASSERT_TRUE(ending.Start(EndsEarly, nullptr));
    while (!ending.HasEnded()) std::this_thread::yield();
    EXPECT_EQ(ending.Join(), 77u);
}

TEST(Threads, PriorityIsANumberCopiedFromThreadToThread) {
    platform::test_hooks::SetCurrentThreadPriority(2);
    EXPECT_EQ(platform::CurrentThreadPriority(), 2);
    platform::Thread thread;
    EXPECT_EQ(thread.Priority(), platform::kPriorityReadFailed);
    ASSERT_TRUE(thread.Start(ReturnsArgument, nullptr));
    EXPECT_TRUE(thread.SetPriority(platform::CurrentThreadPriority()));
    EXPECT_EQ(thread.Priority(), 2);
    thread.Join();
    platform::test_hooks::SetCurrentThreadPriority(0);
}

TEST(Pages, RegionsAreZeroFilledAndAnEmptyOrRefusedRegionIsNull) {
    const size_t bytes = 3 * 4096 + 100;
    auto* region = static_cast<unsigned char*>(platform::AllocatePages(bytes));
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(region) % 4096, 0u);
    bool all_zero = true;
    for (size_t i = 0; i < bytes; ++i) all_zero = all_zero && region[i] == 0;
    EXPECT_TRUE(all_zero);
    std::memset(region, 0xAB, bytes);
    platform::ReleasePages(region, bytes);

    EXPECT_EQ(platform::AllocatePages(0), nullptr);
    platform::test_hooks::SetPageAllocationLimit(4096);
    EXPECT_EQ(platform::AllocatePages(4097), nullptr);
    platform::test_hooks::SetPageAllocationLimit(0);
    EXPECT_EQ(platform::test_hooks::LivePageRegions(), 0u);
}

TEST(Folders, ListingYieldsMatchingNamesWithTheirDirectoryFlag) {
    TempFolder folder;
    folder.WriteFile("a.auo_", "x");
    folder.WriteFile("b.auo_", "y");
    folder.WriteFile("c.auo", "not matching");
    folder.MakeDirectory("d.auo_");
    CurrentDirectoryScope in(folder.path());

    platform::FolderListing listing;
    ASSERT_TRUE(listing.Open("*.auo_"));
    std::set<std::pair<std::string, bool>> seen;
    platform::ListedItem item;
    while (listing.Next(&item)) seen.insert({item.name, item.is_directory});
    listing.Close();
    EXPECT_EQ(seen, (std::set<std::pair<std::string, bool>>{{"a.auo_", false}, {"b.auo_", false}, {"d.auo_", true}}));

    EXPECT_FALSE(listing.Open("*.nothing"));
    EXPECT_FALSE(listing.Next(&item));
}

TEST(Folders, CurrentFolderFollowsSetAndBackslashesSeparate) {
    TempFolder folder;
    folder.MakeDirectory("sidecar");
    CurrentDirectoryScope restore(folder.path());
    std::string windows_style = folder.path() + "\\sidecar";
    ASSERT_TRUE(platform::SetCurrentFolder(windows_style.c_str()));
    char now[platform::kPathBufferSize];
    ASSERT_TRUE(platform::GetCurrentFolder(now, sizeof now));
    EXPECT_EQ(std::string(now), folder.path() + "/sidecar");
    EXPECT_FALSE(platform::SetCurrentFolder((folder.path() + "/missing").c_str()));
    ASSERT_TRUE(platform::GetCurrentFolder(now, sizeof now));
    EXPECT_EQ(std::string(now), folder.path() + "/sidecar");

    char path[] = "/opt/editor/editor.exe";
    platform::RemoveLastPathElement(path);
    EXPECT_STREQ(path, "/opt/editor");
    char windows_path[] = "C:\\Editor\\editor.exe";
    platform::RemoveLastPathElement(windows_path);
    EXPECT_STREQ(windows_path, "C:\\Editor");
}

TEST(Modules, ABareNameLoadsFromTheCurrentDirectory) {
    TempFolder folder;
    folder.CopyFrom(std::string(OFFLOADER_SUBPLUGIN_DIR) + "/basic.auo_", "basic.auo_");
    CurrentDirectoryScope in(folder.path());
    platform::ModuleHandle module = platform::LoadModule("basic.auo_");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(platform::FindExport(module, "GetOutputPluginTable"), nullptr);
    EXPECT_EQ(platform::FindExport(module, "GetOutputPluginTablex"), nullptr);
    platform::UnloadModule(module);
    EXPECT_EQ(platform::LoadModule("missing.auo_"), nullptr);
}

TEST(Modules, HostExecutablePathCanBeArrangedForATest) {
    char path[platform::kPathBufferSize];
    ASSERT_TRUE(platform::GetHostExecutablePath(path, sizeof path));
    EXPECT_NE(std::strstr(path, "offloader_tests"), nullptr);
    platform::test_hooks::SetHostExecutablePath("/tmp/editor/editor.exe");
    ASSERT_TRUE(platform::GetHostExecutablePath(path, sizeof path));
    EXPECT_STREQ(path, "/tmp/editor/editor.exe");
    char small[8];
    EXPECT_FALSE(platform::GetHostExecutablePath(small, sizeof small));
    platform::test_hooks::SetHostExecutablePath("");
}
