#include "samples/ffmpeg_pipe/ffmpeg_process.h"

#include <cstring>
#include <vector>

#include "samples/ffmpeg_pipe/pipe_plan.h"

namespace ffmpeg_pipe {

namespace {
// Enough for the messages before the exit status; ffmpeg at log level
// "error" writes little else.
constexpr size_t kLogKeep = 64 * 1024;

using UnixFileName = char*(__cdecl*)(const WCHAR*);

UnixFileName WineUnixFileName() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr ? reinterpret_cast<UnixFileName>(
                                   reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                             : nullptr;
}

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// The only handles a Windows ffmpeg inherits: any other inheritable handle
// of the editor would stay open in it for as long as it runs.
class InheritedHandles {
public:
    InheritedHandles(HANDLE* handles, DWORD count) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof(HANDLE) * count,
                                       nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~InheritedHandles() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};
}  // namespace

Program FindProgram(const std::wstring& name) {
    Program program;
    std::vector<wchar_t> found(MAX_PATH);
    DWORD length = SearchPathW(nullptr, name.c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (length >= found.size()) {
        found.resize(length + 1);
        length = SearchPathW(nullptr, name.c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
    }
    if (length == 0 || length >= found.size()) return program;
    program.path.assign(found.data(), length);
    OwnedHandle file(CreateFileW(program.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    unsigned char magic[4] = {};
    DWORD read = 0;
    if (file.Get() == INVALID_HANDLE_VALUE || !ReadFile(file.Get(), magic, sizeof magic, &read, nullptr)) {
        program.kind = ProgramKind::kUnknown;
        return program;
    }
    if (read >= 2 && magic[0] == 'M' && magic[1] == 'Z') {
        program.kind = ProgramKind::kWindows;
        return program;
    }
    // Under Wine a Linux program (or a script) starts too; elsewhere nothing
    // but a Windows program does.
    program.unix_path = UnixPath(program.path);
    program.kind = program.unix_path.empty() ? ProgramKind::kUnknown : ProgramKind::kLinux;
    return program;
}

std::string UnixPath(const std::wstring& path) {
    UnixFileName unix_file_name = WineUnixFileName();
    if (unix_file_name == nullptr) return std::string();
    char* name = unix_file_name(path.c_str());
    if (name == nullptr) return std::string();
    std::string result = name;
    // Wine allocates it on the process heap.
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

FfmpegProcess::~FfmpegProcess() {
    if (!Ended()) Kill();
    if (process_ != nullptr) CloseHandle(process_);
    if (job_ != nullptr) CloseHandle(job_);
    if (log_reader_ != INVALID_HANDLE_VALUE) CloseHandle(log_reader_);
    if (!log_path_.empty()) DeleteFileW(log_path_.c_str());
}

bool FfmpegProcess::Start(const Program& program, const std::string& command_line, DWORD* error) {
    *error = 0;
    wchar_t folder[MAX_PATH];
    wchar_t name[MAX_PATH];
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"ffp", 0, name) == 0) {
        *error = GetLastError();
        return false;
    }
    log_path_ = name;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    OwnedHandle log_writer(CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    log_reader_ = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (log_writer.Get() == INVALID_HANDLE_VALUE || log_reader_ == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    std::wstring line = Widen(command_line, CP_UTF8);
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    PROCESS_INFORMATION started;
    std::memset(&started, 0, sizeof started);

    if (program.kind == ProgramKind::kLinux) {
        through_shell_ = true;
        STARTUPINFOW startup;
        std::memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = log_writer.Get();
        startup.hStdError = log_writer.Get();
        // Wine hands a Linux program its standard output only when handles
        // are inherited and no console is withheld (CREATE_NO_WINDOW sends
        // it to /dev/null); a Linux program opens no window anyway.
        if (!CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &started)) {
            *error = GetLastError();
            return false;
        }
    } else {
        OwnedHandle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                           OPEN_EXISTING, 0, nullptr));
        HANDLE inherited[2] = {log_writer.Get(), null_input.Get()};
        InheritedHandles only(inherited, null_input.Get() != INVALID_HANDLE_VALUE ? 2 : 1);
        STARTUPINFOEXW startup;
        std::memset(&startup, 0, sizeof startup);
        startup.StartupInfo.cb = only.Get() != nullptr ? sizeof startup : sizeof startup.StartupInfo;
        startup.lpAttributeList = only.Get();
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = null_input.Get();
        startup.StartupInfo.hStdOutput = log_writer.Get();
        startup.StartupInfo.hStdError = log_writer.Get();
        // A console program started from a window program would open a
        // console window of its own.
        DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | (only.Get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
        if (!CreateProcessW(program.path.c_str(), mutable_line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                            &startup.StartupInfo, &started)) {
            *error = GetLastError();
            return false;
        }
        // If the editor itself dies, closing the job ends ffmpeg instead of
        // leaving it to finish a file nobody will complete. Where the system
        // refuses (an editor already in a job on Windows 7), it runs without.
        job_ = CreateJobObjectW(nullptr, nullptr);
        if (job_ != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
            std::memset(&limits, 0, sizeof limits);
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
                !AssignProcessToJobObject(job_, started.hProcess)) {
                CloseHandle(job_);
                job_ = nullptr;
            }
        }
        ResumeThread(started.hThread);
    }
    if (started.hThread != nullptr) CloseHandle(started.hThread);
    process_ = started.hProcess;
    return true;
}

void FfmpegProcess::ReadLog() {
    char block[4096];
    DWORD read = 0;
    while (log_reader_ != INVALID_HANDLE_VALUE && ReadFile(log_reader_, block, sizeof block, &read, nullptr) &&
           read > 0) {
        log_.append(block, read);
        // The shell's first line, looked for before the log is cut.
        if (through_shell_ && shell_pid_ == 0) shell_pid_ = ffmpeg_pipe::ReadLog(log_).pid;
        if (log_.size() > 2 * kLogKeep) log_.erase(0, log_.size() - kLogKeep);
    }
}

bool FfmpegProcess::Ended() {
    if (through_shell_) {
        ReadLog();
        return ffmpeg_pipe::ReadLog(log_).ended;
    }
    return process_ == nullptr || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
}

bool FfmpegProcess::WaitEnded(DWORD milliseconds) {
    if (!through_shell_) return process_ == nullptr || WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!Ended()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

bool FfmpegProcess::Kill() {
    if (!through_shell_) return process_ != nullptr && TerminateProcess(process_, 1) != 0;
    ReadLog();
    if (shell_pid_ == 0) return false;
    // Wine starts this Linux program as it started ffmpeg, and forgets it:
    // the shell's report of ffmpeg's end says when the kill has worked.
    std::wstring line = Widen(KillCommandLine(shell_pid_), CP_UTF8);
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    std::memset(&started, 0, sizeof started);
    if (!CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        return false;
    }
    if (started.hThread != nullptr) CloseHandle(started.hThread);
    if (started.hProcess != nullptr) CloseHandle(started.hProcess);
    return true;
}

int FfmpegProcess::ExitCode() {
    if (!Ended()) return -1;
    if (through_shell_) return ffmpeg_pipe::ReadLog(log_).exit_code;
    DWORD code = 0;
    return process_ != nullptr && GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
}

const std::string& FfmpegProcess::Log() {
    ReadLog();
    return log_;
}

}  // namespace ffmpeg_pipe
