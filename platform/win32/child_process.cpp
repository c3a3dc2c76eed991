#include "platform/child_process.h"

#include <windows.h>

#include <string>
#include <vector>

namespace platform {

namespace {
HANDLE HandleOf(ObjectHandle handle) { return reinterpret_cast<HANDLE>(handle); }
ObjectHandle ValueOf(HANDLE handle) { return reinterpret_cast<ObjectHandle>(handle); }

// Inheritable duplicates of the handles to hand on, for one start. The
// originals stay as they are: making them inheritable instead would let a
// process that another thread starts meanwhile inherit them too, and two
// starts would undo each other's flags. Until they are closed, a process
// started elsewhere in this process with every inheritable handle (no list)
// inherits these copies all the same; the window is the start's alone.
class InheritableCopies {
public:
    InheritableCopies() = default;
    ~InheritableCopies() {
        for (HANDLE copy : copies_) CloseHandle(copy);
    }
    InheritableCopies(const InheritableCopies&) = delete;
    InheritableCopies& operator=(const InheritableCopies&) = delete;

    bool Make(const ObjectHandle* handles, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            HANDLE copy = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), HandleOf(handles[i]), GetCurrentProcess(), &copy, 0, TRUE,
                                 DUPLICATE_SAME_ACCESS)) {
                return false;
            }
            copies_.push_back(copy);
            values_.push_back(ValueOf(copy));
        }
        return true;
    }
    HANDLE* handles() { return copies_.data(); }
    const ObjectHandle* values() const { return values_.data(); }
    size_t count() const { return copies_.size(); }

private:
    std::vector<HANDLE> copies_;
    std::vector<ObjectHandle> values_;
};

// The start-up record of a child that inherits the copies and nothing else.
// Measured under Wine 8.0: the list is honoured, an inheritable handle left
// out of it is not inherited.
class ListedInheritance {
public:
    ListedInheritance() = default;
    ~ListedInheritance() {
        if (startup_.lpAttributeList != nullptr) DeleteProcThreadAttributeList(startup_.lpAttributeList);
    }
    ListedInheritance(const ListedInheritance&) = delete;
    ListedInheritance& operator=(const ListedInheritance&) = delete;

    bool SetUp(InheritableCopies& copies) {
        startup_.StartupInfo.cb = sizeof startup_.StartupInfo;
        // Otherwise the child's standard handles would be this process's
        // values, which name nothing in it, or later whatever it opens next.
        startup_.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        // An empty list is refused; with no handle to hand on, nothing is
        // inherited at all.
        if (copies.count() == 0) return true;
        SIZE_T bytes = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
        attributes_.resize(bytes);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &bytes)) return false;
        startup_.lpAttributeList = list;
        startup_.StartupInfo.cb = sizeof startup_;
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, copies.handles(),
                                         copies.count() * sizeof(HANDLE), nullptr, nullptr) != 0;
    }

    // Suspended, so that it runs no instruction before it is in its job.
    bool CreateSuspended(const char* executable, const std::string& command_line, DWORD flags,
                         PROCESS_INFORMATION* child) {
        std::string writable = command_line;  // CreateProcessA may write into it
        const bool inherit = startup_.lpAttributeList != nullptr;
        // Without a window of its own, a console program started from the
        // editor, which has no console, would open one.
        flags |= CREATE_SUSPENDED | CREATE_NO_WINDOW | (inherit ? EXTENDED_STARTUPINFO_PRESENT : 0);
        return CreateProcessA(executable, &writable[0], nullptr, nullptr, inherit ? TRUE : FALSE, flags, nullptr,
                              nullptr, &startup_.StartupInfo, child) != 0;
    }

private:
    STARTUPINFOEXA startup_ = {};
    std::vector<char> attributes_;
};

void Discard(const PROCESS_INFORMATION& child) {
    TerminateProcess(child.hProcess, ERROR_PROCESS_ABORTED);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// The parent keeps the job's only handle: when the parent ends, however, the
// system closes it, and closing it ends every process in the job. Measured
// under Wine 8.0: a child ended by TerminateProcess takes the child it had
// started, in a job of its own, with it.
HANDLE NewTie() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // Dying on an unhandled exception keeps a crash that the child's own
    // filter does not take (a module replaced it) from waiting on an error
    // dialog while the parent waits on the child.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}
}  // namespace

ChildProcess::~ChildProcess() { Close(); }

bool ChildProcess::Start(const char* executable, const ObjectHandle* handles, size_t count,
                         const Arguments& arguments) {
    Close();
    InheritableCopies copies;
    ListedInheritance inheritance;
    if (!copies.Make(handles, count) || !inheritance.SetUp(copies)) return false;
    const std::string command_line = std::string("\"") + executable + "\" " + arguments(copies.values());
    HANDLE job = NewTie();
    if (job == nullptr) return false;
    PROCESS_INFORMATION child = {};
    if (!inheritance.CreateSuspended(executable, command_line, 0, &child)) {
        CloseHandle(job);
        return false;
    }
    // A child starts in its parent's job, if the parent has one; measured
    // under Wine 8.0, as on Windows 8 and later, ours nests inside it.
    if (!AssignProcessToJobObject(job, child.hProcess)) {
        // The parent's job takes no nested one (Windows 7, or limits of its
        // own): a child that breaks away from it can still join ours, where
        // that job allows breaking away. Where it does not, the child runs
        // untied rather than not at all.
        PROCESS_INFORMATION apart = {};
        if (inheritance.CreateSuspended(executable, command_line, CREATE_BREAKAWAY_FROM_JOB, &apart)) {
            if (AssignProcessToJobObject(job, apart.hProcess)) {
                Discard(child);
                child = apart;
            } else {
                Discard(apart);
                CloseHandle(job);
                job = nullptr;
            }
        } else {
            CloseHandle(job);
            job = nullptr;
        }
    }
    if (ResumeThread(child.hThread) == static_cast<DWORD>(-1)) {
        Discard(child);
        if (job != nullptr) CloseHandle(job);
        return false;
    }
    CloseHandle(child.hThread);
    process_ = ValueOf(child.hProcess);
    job_ = ValueOf(job);
    id_ = child.dwProcessId;
    return true;
}

bool ChildProcess::HasEnded() const { return WaitForEnd(0); }

bool ChildProcess::WaitForEnd(uint32_t milliseconds) const {
    return !Started() || WaitForSingleObject(HandleOf(process_), milliseconds) == WAIT_OBJECT_0;
}

uint32_t ChildProcess::ExitCode() const {
    DWORD code = 0;
    // STILL_ACTIVE is also an exit code a process may end with.
    if (!Started() || !HasEnded() || !GetExitCodeProcess(HandleOf(process_), &code)) return 0;
    return code;
}

void ChildProcess::Terminate(uint32_t code) {
    if (!Started()) return;
    TerminateProcess(HandleOf(process_), code);
    WaitForSingleObject(HandleOf(process_), INFINITE);
}

void ChildProcess::Close() {
    if (process_ != 0) {
        if (!HasEnded()) Terminate(ERROR_PROCESS_ABORTED);
        CloseHandle(HandleOf(process_));
    }
    // Ends whatever the child started in its job and left running.
    if (job_ != 0) CloseHandle(HandleOf(job_));
    process_ = 0;
    job_ = 0;
    id_ = 0;
}

ObjectHandle ChildProcess::DuplicateInto(ObjectHandle handle) const {
    HANDLE theirs = nullptr;
    if (!Started() || !DuplicateHandle(GetCurrentProcess(), HandleOf(handle), HandleOf(process_), &theirs, 0, FALSE,
                                       DUPLICATE_SAME_ACCESS)) {
        return 0;
    }
    return ValueOf(theirs);
}

}  // namespace platform
