// The fakes must stand in for Windows where the relay's tests rely on them: a
// priority is any number, copied from thread to thread; a region above the
// arranged limit is refused, and every region is counted until it is given
// back; the editor's executable is wherever the test puts it.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/module.h"
#include "platform/pages.h"
#include "platform/thread.h"
#include "tests/native/fakes/fakes.h"

namespace {
unsigned THREAD_ENTRY_CALL ReturnsArgument(void* argument) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
}
}  // namespace

TEST(Threads, PriorityIsANumberCopiedFromThreadToThread) {
    fakes::SetCurrentThreadPriority(2);
    EXPECT_EQ(platform::CurrentThreadPriority(), 2);
    platform::Thread thread;
    EXPECT_EQ(thread.Priority(), platform::kPriorityReadFailed);
    ASSERT_TRUE(thread.Start(ReturnsArgument, nullptr));
    EXPECT_TRUE(thread.SetPriority(platform::CurrentThreadPriority()));
    EXPECT_EQ(thread.Priority(), 2);
    thread.Join();
    fakes::SetCurrentThreadPriority(0);
}

TEST(Pages, ARegionAboveTheLimitIsRefusedAndEveryRegionIsCounted) {
    void* region = platform::AllocatePages(4096);
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(fakes::LivePageRegions(), 1u);
    platform::ReleasePages(region, 4096);
    fakes::SetPageAllocationLimit(4096);
    EXPECT_EQ(platform::AllocatePages(4097), nullptr);
    fakes::SetPageAllocationLimit(0);
    EXPECT_EQ(fakes::LivePageRegions(), 0u);
}

TEST(Modules, HostExecutablePathCanBeArrangedForATest) {
    char path[260];
    ASSERT_TRUE(platform::GetHostExecutablePath(path, sizeof path));
    EXPECT_NE(std::strstr(path, "offloader_tests"), nullptr);
    fakes::SetHostExecutablePath("/tmp/editor/editor.exe");
    ASSERT_TRUE(platform::GetHostExecutablePath(path, sizeof path));
    EXPECT_STREQ(path, "/tmp/editor/editor.exe");
    char small[8];
    EXPECT_FALSE(platform::GetHostExecutablePath(small, sizeof small));
    fakes::SetHostExecutablePath("");
}
