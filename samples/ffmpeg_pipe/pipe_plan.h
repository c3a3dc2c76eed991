// The ffmpeg sample's decisions that do not touch Windows: its settings
// record, the plan of one export, the command line that starts ffmpeg, the
// name it writes to until the file is complete, and what ffmpeg's log says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/output_plugin.h"
#include "samples/common/export_plan.h"
#include "samples/common/settings_record.h"

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

// The record that the host stores: "FFPI", version 1, then three strings
// (program, arguments, path), each a 4-byte length and its bytes without a NUL.
extern const sample_record::Format<PipeSettings> kSettingsRecord;

// The sample refuses no picture, or a frame past 2 GiB (kNoVideo), a width
// or height that 4:2:0 H.264 cannot take (kOddSize), and audio other than
// 16-bit PCM (kAudioFormat).
using sample_plan::PlanError;

struct ExportPlan : sample_plan::Streams {
    int32_t frame_bytes = 0;  // one YUY2 frame
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

// ffmpeg writes to "<name>.partial.<ext>" until the export is complete: it
// still picks the format from the extension.
using sample_plan::PartialPath;

struct LogReport {
    bool ended = false;  // the exit marker was seen
    int exit_code = -1;
    int pid = 0;          // from the pid marker; 0 while unknown
    std::string message;  // the last lines before the marker, at most a few
};

// Reads ffmpeg's log (standard error joined to standard output).
LogReport ReadLog(const std::string& log);

}  // namespace ffmpeg_pipe
