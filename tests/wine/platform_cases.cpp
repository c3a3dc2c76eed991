// The relay's wait on the editor's thread, as Windows runs it: while it
// waits for the worker it takes the messages that other threads send to the
// thread's windows, and only those unless it is told to dispatch posted ones
// too; the half-second limit holds however many of them arrive. And the
// request lock, which a thread that holds it must not enter again.
#include <windows.h>

#include "platform/event.h"
#include "platform/lock.h"
#include "tests/wine/check.h"

namespace {

using platform::WaitLimit;
using platform::WaitResult;

constexpr UINT kSent = WM_APP + 0x31;
constexpr UINT kPosted = WM_APP + 0x32;

struct WindowLog {
    volatile LONG sent = 0;
    long posted = 0;
    DWORD sent_on_thread = 0;
};
WindowLog g_log;

LRESULT CALLBACK LoggingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kSent) {
        InterlockedIncrement(&g_log.sent);
        g_log.sent_on_thread = GetCurrentThreadId();
        return static_cast<LRESULT>(wparam) + 1;
    }
    if (message == kPosted) ++g_log.posted;
    return DefWindowProcA(window, message, wparam, lparam);
}

HWND CreateLoggingWindow() {
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = LoggingProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "OffloaderTestWaiter";
    RegisterClassA(&window_class);
    return CreateWindowExA(0, "OffloaderTestWaiter", "waiter", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

// Another thread that sends to the window, one message after the other as
// fast as they are taken, until it is told to stop, or (a last resort that
// only a wait without a bound would reach) until it has sent for a minute.
struct Sender {
    HWND window = nullptr;
    volatile LONG stop = 0;
    long sent = 0;
    long wrong_answers = 0;
    bool gave_up = false;
    // Signals this event once the first message was taken, and leaves it.
    platform::ManualResetEvent* after_first = nullptr;
};

DWORD WINAPI SendUntilStopped(void* argument) {
    auto* sender = static_cast<Sender*>(argument);
    const DWORD start = GetTickCount();
    while (InterlockedCompareExchange(&sender->stop, 0, 0) == 0) {
        if (GetTickCount() - start > 60000) {
            sender->gave_up = true;
            break;
        }
        const LRESULT answer = SendMessageA(sender->window, kSent, static_cast<WPARAM>(sender->sent), 0);
        sender->wrong_answers += answer != static_cast<LRESULT>(sender->sent) + 1;
        ++sender->sent;
        if (sender->sent == 1 && sender->after_first != nullptr) sender->after_first->Signal();
    }
    return 0;
}

// Takes what is still being sent until the sender has ended.
void LetSenderEnd(Sender& sender, HANDLE thread) {
    InterlockedExchange(&sender.stop, 1);
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(thread);
}

// The thread that enters the lock twice, ended by the exception it raises.
constexpr DWORD kEndedByTheException = 0xDEAD;
constexpr DWORD kPossibleDeadlock = 0xC0000194;  // EXCEPTION_POSSIBLE_DEADLOCK
DWORD g_entering_twice = 0;
volatile LONG g_possible_deadlocks = 0;

LONG CALLBACK EndsTheThreadEnteringTwice(EXCEPTION_POINTERS* exception) {
    if (GetCurrentThreadId() != g_entering_twice || exception->ExceptionRecord->ExceptionCode != kPossibleDeadlock) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    InterlockedIncrement(&g_possible_deadlocks);
    ExitThread(kEndedByTheException);
}

DWORD WINAPI EntersTwice(void* argument) {
    auto* lock = static_cast<platform::Lock*>(argument);
    lock->Enter();
    lock->Enter();
    lock->Leave();
    lock->Leave();
    return 0;
}

}  // namespace

TEST_CASE(platform, a_wait_takes_sent_messages_until_its_half_second_is_up_and_posted_ones_only_when_told) {
    HWND window = CreateLoggingWindow();
    REQUIRE(window != nullptr);
    platform::ManualResetEvent never;
    REQUIRE(never.Create());
    using platform::WhileWaiting;
    const struct {
        const char* way;
        bool event_or_end;  // WaitForEventOrEnd, with no process, rather than the event's own wait
        WhileWaiting messages;
    } rows[] = {
        {"the event's own wait", false, WhileWaiting::TakeSentMessages},
        {"event or end, taking sent messages", true, WhileWaiting::TakeSentMessages},
        {"event or end, dispatching messages", true, WhileWaiting::DispatchMessages},
    };
    for (const auto& row : rows) {
        CheckRow in(row.way);
        const bool dispatches = row.messages == WhileWaiting::DispatchMessages;
        g_log = WindowLog();
        PostMessageA(window, kPosted, 1, 0);
        PostThreadMessageA(GetCurrentThreadId(), kPosted, 2, 0);
        // For the loop that runs the thread, whatever the wait does with
        // the messages before it.
        PostQuitMessage(5);

        Sender sender;
        sender.window = window;
        HANDLE thread = CreateThread(nullptr, 0, SendUntilStopped, &sender, 0, nullptr);
        REQUIRE(thread != nullptr);
        // Nothing signals the event, and messages keep coming: the wait ends
        // all the same, having taken them meanwhile.
        const bool timed_out =
            row.event_or_end
                ? platform::WaitForEventOrEnd(never, 0, WaitLimit::HalfSecond, row.messages) ==
                      platform::WaitEnd::TimedOut
                : never.WaitTakingSentMessages(WaitLimit::HalfSecond) == WaitResult::TimedOut;
        const long taken_by_the_wait = g_log.sent;
        LetSenderEnd(sender, thread);

        CHECK(timed_out);
        CHECK(!sender.gave_up);
        CHECK(taken_by_the_wait > 0);
        CHECK_EQ(sender.wrong_answers, 0L);
        CHECK_EQ(g_log.sent_on_thread, GetCurrentThreadId());
        // A quit message is taken by any look into the queue that finds
        // nothing else it asks for: first.
        MSG message = {};
        CHECK(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && message.wParam == 5);
        // Posted messages were handed to the window, or neither handed nor
        // removed.
        CHECK_EQ(g_log.posted, dispatches ? 1L : 0L);
        CHECK_EQ(PeekMessageA(&message, window, kPosted, kPosted, PM_REMOVE) && message.wParam == 1, !dispatches);
        CHECK_EQ(PeekMessageA(&message, reinterpret_cast<HWND>(-1), kPosted, kPosted, PM_REMOVE) &&
                     message.wParam == 2,
                 !dispatches);
    }
    DestroyWindow(window);
}

TEST_CASE(platform, a_signal_ends_the_wait_whether_sent_messages_come_or_not) {
    HWND window = CreateLoggingWindow();
    REQUIRE(window != nullptr);
    platform::ManualResetEvent wake;
    REQUIRE(wake.Create());
    g_log = WindowLog();

    // A signal given before the wait, and one given by the sending thread
    // once its first message was taken, with more messages coming.
    wake.Signal();
    CHECK(wake.WaitTakingSentMessages(WaitLimit::HalfSecond) == WaitResult::Signalled);
    CHECK(wake.WaitTakingSentMessages(WaitLimit::Forever) == WaitResult::Signalled);
    wake.Reset();

    Sender sender;
    sender.window = window;
    sender.after_first = &wake;
    HANDLE thread = CreateThread(nullptr, 0, SendUntilStopped, &sender, 0, nullptr);
    REQUIRE(thread != nullptr);
    const WaitResult result = wake.WaitTakingSentMessages(WaitLimit::Forever);
    LetSenderEnd(sender, thread);
    CHECK(result == WaitResult::Signalled);
    CHECK(g_log.sent >= 1);
    CHECK(!sender.gave_up);

    // An auto-reset event is taken by the wait that sees it.
    platform::AutoResetEvent once;
    REQUIRE(once.Create());
    once.Signal();
    CHECK(once.WaitTakingSentMessages(WaitLimit::HalfSecond) == WaitResult::Signalled);
    CHECK(once.WaitTakingSentMessages(WaitLimit::HalfSecond) == WaitResult::TimedOut);
    DestroyWindow(window);
}

TEST_CASE(platform, a_thread_that_enters_the_lock_it_holds_raises_a_possible_deadlock) {
    // Left behind: the thread that holds it is gone.
    auto* lock = new platform::Lock;
    REQUIRE(lock->SetUp());
    void* handler = AddVectoredExceptionHandler(1, EndsTheThreadEnteringTwice);
    REQUIRE(handler != nullptr);
    g_possible_deadlocks = 0;
    HANDLE thread = CreateThread(nullptr, 0, EntersTwice, lock, CREATE_SUSPENDED, &g_entering_twice);
    REQUIRE(thread != nullptr);
    ResumeThread(thread);
    // The bound only keeps a lock that hangs its holder from hanging the run.
    const DWORD waited = WaitForSingleObject(thread, 30000);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    RemoveVectoredExceptionHandler(handler);
    CHECK_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK_EQ(code, kEndedByTheException);
    CHECK_EQ(g_possible_deadlocks, 1L);

    // Entering again after leaving is no re-entry.
    platform::Lock fresh;
    REQUIRE(fresh.SetUp());
    fresh.Enter();
    fresh.Leave();
    fresh.Enter();
    fresh.Leave();
}
