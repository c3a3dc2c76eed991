// The POSIX port serves the native tests only. What it guarantees: the
// child gets standard input, output and error and the descriptors listed,
// at 3, 4, ..., and no other descriptor of this process, inheritable or
// not. What it does not: a tie to this process's life. PR_SET_PDEATHSIG
// would have to be set in the child between fork and exec, which
// posix_spawn offers no place for; a child must watch its starter itself
// (TiedToStarter() is false).
#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/posix/process_end.h"

namespace platform {

namespace {
pid_t IdOf(ObjectHandle process) { return static_cast<pid_t>(process); }

constexpr int kFirstChildDescriptor = 3;

// Blanks separate words, except within double quotes, which are dropped.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

// Closes the copies made for one start, however it ends.
struct Copies {
    std::vector<int> descriptors;
    ~Copies() {
        for (int descriptor : descriptors) close(descriptor);
    }
};
}  // namespace

ChildProcess::~ChildProcess() { Close(); }

bool ChildProcess::Start(const char* executable, const ObjectHandle* handles, size_t count,
                         const Arguments& arguments) {
    Close();
    const int beyond = kFirstChildDescriptor + static_cast<int>(count);
    // Copies numbered above every place the child gets them at, so that no
    // dup2 into those places overwrites a copy not yet moved; close-on-exec
    // here, so that a program another thread starts meanwhile does not get
    // them.
    Copies copies;
    std::vector<ObjectHandle> theirs;
    for (size_t i = 0; i < count; ++i) {
        const int copy = fcntl(static_cast<int>(handles[i]), F_DUPFD_CLOEXEC, beyond);
        if (copy < 0) return false;
        copies.descriptors.push_back(copy);
        theirs.push_back(static_cast<ObjectHandle>(kFirstChildDescriptor + i));
    }
    std::vector<std::string> words = Words(arguments(theirs.data()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable));
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    bool ready = true;
    for (size_t i = 0; i < count; ++i) {
        // dup2 leaves the copy in its new place inheritable.
        ready = ready && posix_spawn_file_actions_adddup2(&actions, copies.descriptors[i],
                                                          kFirstChildDescriptor + static_cast<int>(i)) == 0;
    }
    // Everything else this process has open, close-on-exec or not.
    ready = ready && posix_spawn_file_actions_addclosefrom_np(&actions, beyond) == 0;
    pid_t child = 0;
    const bool started = ready && posix_spawn(&child, executable, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) return false;
    process_ = static_cast<ObjectHandle>(child);
    id_ = static_cast<uint32_t>(child);
    return true;
}

bool ChildProcess::HasEnded() const { return !Started() || posix::ProcessHasEnded(IdOf(process_)); }

bool ChildProcess::WaitForEnd(uint32_t milliseconds) const {
    // A wait that leaves the child unreaped has no time limit of its own:
    // look every few milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (HasEnded()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

uint32_t ChildProcess::ExitCode() const {
    siginfo_t how = {};
    if (!Started() || !posix::ProcessHasEnded(IdOf(process_), &how) || how.si_pid == 0) return 0;
    if (how.si_code == CLD_EXITED) return static_cast<uint32_t>(how.si_status);
    return 128 + static_cast<uint32_t>(how.si_status);
}

void ChildProcess::Terminate(uint32_t) {
    if (!Started()) return;
    kill(IdOf(process_), SIGKILL);
    siginfo_t info = {};
    waitid(P_PID, static_cast<id_t>(process_), &info, WEXITED | WNOWAIT);
}

void ChildProcess::Close() {
    if (process_ != 0) {
        if (!HasEnded()) kill(IdOf(process_), SIGKILL);
        waitpid(IdOf(process_), nullptr, 0);
    }
    process_ = 0;
    job_ = 0;
    id_ = 0;
}

ObjectHandle ChildProcess::DuplicateInto(ObjectHandle) const { return 0; }

}  // namespace platform
