// The ffmpeg sample's decisions that do not touch Windows: its settings
// record, the plan of one export, the command line that starts ffmpeg, the
// name it writes to until the file is complete, and what ffmpeg's log says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/output_plugin.h"

namespace ffmpeg_pipe {

constexpr size_t kPathBytes = 260;
constexpr size_t kArgumentBytes = 1024;

// A sensible H.264 export for most users: x264's quality mode at a quality
// that few can tell from the source, 4:2:0 because players expect it, and
// AAC audio; the index goes to the front so that the file plays while it
// downloads.
constexpr char kDefaultProgram[] = "ffmpeg.exe";
constexpr char kDefaultArguments[] =
    "-c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p -c:a aac -b:a 192k -movflags +faststart";

// Every string is code page 932, NUL-terminated.
struct PipeSettings {
    char program[kPathBytes];
    char arguments[kArgumentBytes];
    char path[kPathBytes];  // used when the editor names no file
    PipeSettings();
};

// The record that the host stores: "FFPI", version, then three strings
// (program, arguments, path), each a 4-byte length and its bytes without a NUL.
int32_t SettingsRecordSize(const PipeSettings& settings);
// Returns the bytes written, or 0 when `size` is too small.
int32_t WriteSettingsRecord(const PipeSettings& settings, void* data, int32_t size);
// Returns the bytes taken, or 0 for a record that is not ours, of another
// version, truncated, or carrying a string too long or with a NUL inside;
// `settings` is then unchanged.
int32_t ReadSettingsRecord(const void* data, int32_t size, PipeSettings* settings);

enum class PlanError {
    kNone,
    kNoVideo,      // a frame size or count that is not a picture
    kOddSize,      // 4:2:0 H.264 needs an even width and height
    kAudioFormat,  // audio other than 16-bit PCM
};

struct ExportPlan {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frame_count = 0;
    int32_t frame_bytes = 0;  // one YUY2 frame
    int32_t rate = 0;
    int32_t scale = 0;
    bool audio = false;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    int32_t audio_samples = 0;
    int32_t audio_block = 0;  // bytes per sample frame
};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan);

// The program as the user gave it, without the blanks around it and without
// the double quotes around the whole (as a copied path often comes).
std::string UnquotedProgram(const std::string& program);

// One argument quoted so that the Windows command-line rules (which Wine
// also applies when it starts a Linux program) give it back unchanged.
std::string QuoteArgument(const std::string& argument);

struct CommandParts {
    std::string program;    // UTF-8, as the started program must see it
    std::string arguments;  // UTF-8, the user's encoder arguments, inserted as typed
    std::string output;     // UTF-8, the file ffmpeg writes
    int video_port = 0;
    int audio_port = 0;  // 0: no audio input
    // A Linux ffmpeg started from Wine: Wine hands it neither a process
    // handle nor our standard error, so a shell runs it, joins its standard
    // error to standard output (which Wine does pass on) and prints its
    // exit status there last.
    bool through_shell = false;
};

std::string BuildCommandLine(const ExportPlan& plan, const CommandParts& parts);

// The lines the shell prints: ffmpeg's process id as it starts it (the one
// way to stop a Linux ffmpeg, which Wine gives no handle to), and, once it
// has ended, its exit status.
constexpr char kPidMarker[] = "[ffmpeg_pipe] pid ";
constexpr char kExitMarker[] = "[ffmpeg_pipe] exit ";

// The command that ends the Linux ffmpeg of that process id at once.
std::string KillCommandLine(int pid);

// Where ffmpeg writes until the export is complete: the file's name with
// ".partial" before its extension, so that ffmpeg still picks the format
// from the extension, and an older file of the final name survives a
// failure.
std::string PartialPath(const std::string& path);

struct LogReport {
    bool ended = false;  // the exit marker was seen
    int exit_code = -1;
    int pid = 0;          // from the pid marker; 0 while unknown
    std::string message;  // the last lines before the marker, at most a few
};

// Reads ffmpeg's log (standard error joined to standard output).
LogReport ReadLog(const std::string& log);

}  // namespace ffmpeg_pipe
