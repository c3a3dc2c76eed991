// The ffmpeg process of one export, on Windows and under Wine.
//
// Measured under Wine 8 (Debian 12), starting Debian's /usr/bin/ffmpeg from
// the 32-bit module with CreateProcess:
// - It starts, but CreateProcess returns no process or thread handle and
//   process id 0: Wine forks the Linux program off and forgets it. There is
//   nothing to wait on, no exit code and nothing to terminate.
// - An anonymous pipe given as its standard input arrives as /dev/null:
//   Wine's pipes live in wineserver and have no Linux descriptor. Once the
//   sample closes its copy of the read end nobody reads the pipe, and the
//   first write fails with error 232 (ERROR_NO_DATA, the pipe is closing).
// - Of the standard handles only standard output reaches it, and only as a
//   file; standard error stays Wine's own, and a socket is not passed.
// So a Linux ffmpeg runs under /bin/sh, which joins standard error to
// standard output (a log file), writes ffmpeg's process id there first and
// its exit status last; the sample reads the file to learn that ffmpeg has
// ended and how, and stops it by its process id with a kill of its own. A
// Windows ffmpeg gets the same log file for both, its process handle tells
// the rest, and a job object ends it with the editor.
#pragma once

#include <windows.h>

#include <string>

#include "samples/common/windows_text.h"

namespace ffmpeg_pipe {

using sample_text::Narrow;
using sample_text::Widen;

enum class ProgramKind {
    kMissing,  // no such file
    kWindows,  // a Windows program
    kLinux,    // a Linux program, which only Wine can start
    kUnknown,  // neither: Windows cannot start it
};

struct Program {
    ProgramKind kind = ProgramKind::kMissing;
    std::wstring path;      // as found, a Windows path
    std::string unix_path;  // UTF-8, for a Linux program
};

// Finds the program as CreateProcess would (the current folder, the system
// folders, PATH; ".exe" added when the name has no extension).
Program FindProgram(const std::wstring& name);

// A Windows path as a Linux program must see it (UTF-8), under Wine only;
// empty elsewhere or when Wine cannot map it.
std::string UnixPath(const std::wstring& path);

class FfmpegProcess {
public:
    FfmpegProcess() = default;
    // Ends ffmpeg if it still runs, and removes the log.
    ~FfmpegProcess();
    FfmpegProcess(const FfmpegProcess&) = delete;
    FfmpegProcess& operator=(const FfmpegProcess&) = delete;

    // Starts `command_line` (UTF-8); false with the system's error code.
    bool Start(const Program& program, const std::string& command_line, DWORD* error);
    // True once ffmpeg has ended.
    bool Ended();
    // Waits at most `milliseconds` for the end.
    bool WaitEnded(DWORD milliseconds);
    // Ends it by force: through its handle, or for a Linux ffmpeg by its
    // process id; false when neither is known.
    bool Kill();
    // ffmpeg's exit code once it has ended; -1 while unknown.
    int ExitCode();
    // What ffmpeg wrote, last part only (UTF-8).
    const std::string& Log();

private:
    void ReadLog();

    HANDLE process_ = nullptr;
    HANDLE job_ = nullptr;
    HANDLE log_reader_ = INVALID_HANDLE_VALUE;
    std::wstring log_path_;
    std::string log_;
    bool through_shell_ = false;
    int shell_pid_ = 0;  // the Linux ffmpeg's, once the shell has said it
};

}  // namespace ffmpeg_pipe
