// The POSIX port as the benchmark runs it, without the tests' fakes. It must
// behave as the Windows operations the relay was designed against: events
// that neither lose nor invent wake-ups, module loading from the current
// directory, listings with directory flags, zero-filled page regions, a
// priority that one thread can give another, a child that gets the handles
// it is listed and no other. A message box, which has no counterpart here,
// becomes a line on standard error.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/crash_report.h"
#include "platform/event.h"
#include "platform/folder.h"
#include "platform/lock.h"
#include "platform/messages.h"
#include "platform/module.h"
#include "platform/pages.h"
#include "platform/shared_memory.h"
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

TEST(Events, AnAdoptedEventIsTheSameEventAndOutlivesItsCreator) {
    platform::AutoResetEvent created;
    platform::AutoResetEvent adopted;
    ASSERT_TRUE(created.Create());
    EXPECT_FALSE(adopted.Adopt(0));
    ASSERT_TRUE(adopted.Adopt(created.handle()));
    created.Signal();
    EXPECT_EQ(adopted.Wait(WaitLimit::HalfSecond), WaitResult::Signalled);
    EXPECT_EQ(created.Wait(WaitLimit::Brief), WaitResult::TimedOut) << "one signal, taken once";
    created.Close();
    adopted.Signal();
    EXPECT_EQ(adopted.Wait(WaitLimit::HalfSecond), WaitResult::Signalled);
}

namespace {
// A child that runs a shell command with the section as its descriptor 3.
bool StartShell(platform::ChildProcess* child, const platform::SharedMemory& section, const std::string& command) {
    const platform::ObjectHandle listed[] = {section.handle()};
    return child->Start("/bin/sh", listed, 1, [&](const platform::ObjectHandle* theirs) {
        EXPECT_EQ(theirs[0], 3u);
        return "-c \"" + command + "\"";
    });
}
}  // namespace

TEST(Processes, AChildGetsTheListedDescriptorsOnlyAndItsNewsComesBeforeItsEnd) {
    platform::SharedMemory section;
    ASSERT_TRUE(section.Create(4096));
    // Inheritable, above the child's 3, and not listed.
    const int stray = fcntl(section.handle(), F_DUPFD, 10);
    ASSERT_GE(stray, 10);
    platform::AutoResetEvent done;
    ASSERT_TRUE(done.Create());
    platform::ChildProcess child;
    ASSERT_TRUE(StartShell(&child, section,
                           "printf served >&3; [ -e /proc/self/fd/" + std::to_string(stray) + " ] && exit 9; exit 7"));
    close(stray);
    EXPECT_EQ(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Forever, platform::WhileWaiting::Nothing),
              platform::WaitEnd::ProcessEnded);
    EXPECT_EQ(child.ExitCode(), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(section.data()), 6), "served");
    // An end and a signal both there: the signal first, then the end.
    done.Signal();
    EXPECT_EQ(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Brief, platform::WhileWaiting::Nothing),
              platform::WaitEnd::Signalled);
    EXPECT_EQ(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Brief, platform::WhileWaiting::Nothing),
              platform::WaitEnd::ProcessEnded);
    EXPECT_EQ(platform::WaitForEventOrEnd(done, 0, WaitLimit::Brief, platform::WhileWaiting::Nothing),
              platform::WaitEnd::TimedOut);

    // A section is mapped only as far as it reaches.
    platform::SharedMemory handed;
    EXPECT_FALSE(handed.Map(dup(section.handle()), 4097));
    ASSERT_TRUE(handed.Map(dup(section.handle()), 4096));
    EXPECT_EQ(handed.data()[0], 's');
}

namespace {
// A page that may not be touched rather than a null pointer, which the
// undefined-behaviour sanitizer would report before the fault.
int* volatile g_untouchable = nullptr;
__attribute__((noinline)) void WriteToUntouchablePage() { *g_untouchable = 1; }
}  // namespace

TEST(CrashRecordDeathTest, ACrashIsRecordedWithItsModuleAndOffsetAndEndsTheProcess) {
    // Forked, not run again from the start: the record must be in the
    // section this process maps.
    GTEST_FLAG_SET(death_test_style, "fast");
    platform::SharedMemory section;
    ASSERT_TRUE(section.Create(sizeof(platform::CrashRecord)));
    auto* record = new (section.data()) platform::CrashRecord;
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    g_untouchable = static_cast<int*>(page);
    EXPECT_EXIT(
        {
            platform::RecordCrashesInto(record, 77);
            WriteToUntouchablePage();
        },
        testing::ExitedWithCode(77), "");
    EXPECT_EQ(record->written.load(std::memory_order_acquire), 1u);
    EXPECT_EQ(record->code, static_cast<uint32_t>(SIGSEGV));
    EXPECT_STREQ(record->module, "offloader_platform_tests");
    Dl_info own = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&WriteToUntouchablePage), &own), 0);
    const uintptr_t function =
        reinterpret_cast<uintptr_t>(&WriteToUntouchablePage) - reinterpret_cast<uintptr_t>(own.dli_fbase);
    EXPECT_GE(record->offset, function);
    EXPECT_LT(record->offset, function + 256) << "within the function that crashed";
    munmap(page, 4096);
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

TEST(LockDeathTest, AThreadThatEntersTheLockItHoldsEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    platform::Lock lock;
    ASSERT_TRUE(lock.SetUp());
    // Under ThreadSanitizer the sanitizer reports it first.
    EXPECT_DEATH(
        {
            lock.Enter();
            lock.Enter();
        },
        "entered again by the thread that holds it|double lock of a mutex");
    lock.Enter();
    lock.Leave();
}

namespace {
unsigned THREAD_ENTRY_CALL ReturnsArgument(void* argument) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
}
unsigned THREAD_ENTRY_CALL ReturnsOwnId(void*) { return platform::CurrentThreadId(); }
unsigned THREAD_ENTRY_CALL EndsEarly(void*) { platform::EndCurrentThread(77); }
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

namespace {
unsigned THREAD_ENTRY_CALL ReportsOwnPriorityOnGo(void* argument) {
    static_cast<platform::AutoResetEvent*>(argument)->Wait(WaitLimit::Forever);
    return static_cast<unsigned>(platform::CurrentThreadPriority());
}
}  // namespace

TEST(Threads, APriorityGivenToAThreadIsTheOneItRunsAt) {
    const int own = platform::CurrentThreadPriority();
    ASSERT_NE(own, platform::kPriorityReadFailed);
    // Lowering is allowed to everyone; raising may need privileges.
    if (own <= -19) GTEST_SKIP() << "this process already runs at the lowest priority";
    platform::AutoResetEvent go;
    ASSERT_TRUE(go.Create());
    platform::Thread thread;
    EXPECT_EQ(thread.Priority(), platform::kPriorityReadFailed);
    EXPECT_FALSE(thread.SetPriority(own));

    ASSERT_TRUE(thread.Start(ReportsOwnPriorityOnGo, &go));
    EXPECT_EQ(thread.Priority(), own) << "a new thread runs at its creator's priority";
    ASSERT_TRUE(thread.SetPriority(own - 1));
    EXPECT_EQ(thread.Priority(), own - 1);
    EXPECT_EQ(platform::CurrentThreadPriority(), own) << "the creator's own is left alone";
    go.Signal();
    EXPECT_EQ(static_cast<int>(thread.Join()), own - 1) << "what the thread reads of itself";
}

TEST(Threads, AThreadThatHasEndedHasNoPriority) {
    platform::Thread thread;
    ASSERT_TRUE(thread.Start(ReturnsArgument, nullptr));
    while (!thread.HasEnded()) std::this_thread::yield();
    // Its kernel number may already belong to another thread by now.
    EXPECT_EQ(thread.Priority(), platform::kPriorityReadFailed);
    EXPECT_FALSE(thread.SetPriority(platform::CurrentThreadPriority() - 1));
    thread.Join();
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

TEST(Modules, TheHostExecutableIsThisProgram) {
    char path[platform::kPathBufferSize];
    ASSERT_TRUE(platform::GetHostExecutablePath(path, sizeof path));
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(std::strstr(path, "offloader_platform_tests"), nullptr);
    char small[8];
    EXPECT_FALSE(platform::GetHostExecutablePath(small, sizeof small)) << "a path cut short is no path";
}

// Standard error, written to a file for as long as the object lives.
class CapturedStandardError {
public:
    CapturedStandardError() {
        std::fflush(stderr);
        saved_ = dup(2);
        int file = open(folder_.Child("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 2);
        close(file);
    }
    ~CapturedStandardError() { Restore(); }
    std::string Take() {
        Restore();
        std::ifstream in(folder_.Child("stderr"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    TempFolder folder_;
    int saved_ = -1;
};

TEST(Messages, AMessageBoxIsALineOnStandardErrorUnderItsCaption) {
    CapturedStandardError captured;
    // Code page 932 bytes, passed on as they are.
    platform::ShowMessageBox("\x83\x65\x83\x58\x83\x67", "Offloader", 0x1010);
    EXPECT_EQ(captured.Take(), "Offloader: \x83\x65\x83\x58\x83\x67\n");
}
