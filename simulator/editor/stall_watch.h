// The watch that a Windows program playing the editor keeps on itself: work
// that makes no progress for a bounded time (a plugin call that never
// returns, an export whose service calls have stopped) is reported with the
// stack of every thread of the process, and the process ends with
// kStalledExitCode. A hang in the demo, the benchmark or a test is then a
// report in its log, never a silent wait.
//
// Progress is any service call made to the simulated editor, any change of
// step, and any Beat(). The stacks come from Wine's debugger, which attaches
// to the process, prints them and detaches; where there is none (Windows),
// the report lists the threads alone.
#pragma once

namespace editor_sim {

constexpr int kStalledExitCode = 4;

class StallWatch {
public:
    StallWatch() = default;
    ~StallWatch() { Stop(); }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // Starts watching from a thread of its own; false when it cannot.
    bool Start(unsigned limit_seconds);
    void Stop();
    // What the program does now, named in the report (a string that lives
    // as long as the watch). An unwatched step (a dialog that waits for a
    // user) is not reported however long it lasts.
    void Step(const char* step, bool watched = true);
    void Beat();

private:
    static unsigned long __stdcall Watch(void* self);
    static unsigned long __stdcall Report(void* self);
    long Progress() const;

    void* stop_ = nullptr;
    void* report_ = nullptr;  // signalled when the reporter is to print the stacks
    void* watcher_ = nullptr;
    void* reporter_ = nullptr;
    unsigned limit_seconds_ = 0;
    volatile long beats_ = 0;
    const char* volatile step_ = "";
    volatile long watched_ = 1;
};

}  // namespace editor_sim
