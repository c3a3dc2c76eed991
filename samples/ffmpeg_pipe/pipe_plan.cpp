#include "samples/ffmpeg_pipe/pipe_plan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ffmpeg_pipe {

namespace {
constexpr size_t kMessageLines = 6;
constexpr size_t kMessageLineBytes = 300;

void CopyText(char* target, size_t capacity, const char* text) { std::snprintf(target, capacity, "%s", text); }

// The record's fields in order.
sample_record::Fields RecordFields(PipeSettings* settings) {
    return {sample_record::Text(settings->program), sample_record::Text(settings->arguments),
            sample_record::Text(settings->path)};
}

std::string TrimLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.size() > kMessageLineBytes) line = line.substr(0, kMessageLineBytes) + "...";
    return line;
}
}  // namespace

PipeSettings::PipeSettings() {
    CopyText(program, sizeof program, kDefaultProgram);
    CopyText(arguments, sizeof arguments, kDefaultArguments);
    path[0] = '\0';
}

const sample_record::Format<PipeSettings> kSettingsRecord = {{'F', 'F', 'P', 'I'}, 1, RecordFields};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan) {
    ExportPlan made;
    if (!sample_plan::ReadVideo(info, &made)) return PlanError::kNoVideo;
    if (info.width % 2 != 0 || info.height % 2 != 0) return PlanError::kOddSize;
    const int64_t frame_bytes = static_cast<int64_t>(info.width) * info.height * 2;
    if (frame_bytes > 0x7FFFFFFF) return PlanError::kNoVideo;
    made.frame_bytes = static_cast<int32_t>(frame_bytes);
    // The sample reads a second of audio at a time.
    if (!sample_plan::ReadAudio(info, sample_plan::kHighestAudioRate, &made)) return PlanError::kAudioFormat;
    *plan = made;
    return PlanError::kNone;
}

std::string UnquotedProgram(const std::string& program) {
    const size_t first = program.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    std::string bare = program.substr(first, program.find_last_not_of(" \t") - first + 1);
    if (bare.size() >= 2 && bare.front() == '"' && bare.back() == '"') bare = bare.substr(1, bare.size() - 2);
    return bare;
}

std::string QuoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    // Backslashes are literal except before a quote: there each one must be
    // doubled, and the quote itself escaped.
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string BuildCommandLine(const ExportPlan& plan, const CommandParts& parts) {
    std::string line;
    if (parts.through_shell) {
        // In the background only so that the shell learns its process id;
        // the shell still waits for it and reports how it ended.
        line = "/bin/sh -c " +
               QuoteArgument(std::string("exec 2>&1; \"$0\" \"$@\" & echo \"") + kPidMarker + "$!\"; wait $!; echo \"" +
                             kExitMarker + "$?\"") +
               " ";
    }
    char numbers[256];
    line += QuoteArgument(parts.program);
    // -xerror: a broken connection ends ffmpeg at once instead of finishing
    // a shorter file, which is how a cancelled export stops it where no
    // process handle exists.
    line += " -hide_banner -nostdin -nostats -loglevel error -xerror -y";
    std::snprintf(numbers, sizeof numbers,
                  " -f rawvideo -pix_fmt yuyv422 -video_size %dx%d -framerate %d/%d -i tcp://127.0.0.1:%d",
                  static_cast<int>(plan.width), static_cast<int>(plan.height), static_cast<int>(plan.rate),
                  static_cast<int>(plan.scale), parts.video_port);
    line += numbers;
    if (parts.audio_port != 0) {
        std::snprintf(numbers, sizeof numbers, " -f s16le -ar %d -ac %d -i tcp://127.0.0.1:%d",
                      static_cast<int>(plan.audio_rate), static_cast<int>(plan.audio_channels), parts.audio_port);
        line += numbers;
        line += " -map 0:v:0 -map 1:a:0";
    } else {
        line += " -map 0:v:0";
    }
    if (!parts.arguments.empty()) line += " " + parts.arguments;
    line += " " + QuoteArgument(parts.output);
    return line;
}

std::string KillCommandLine(int pid) { return "/bin/sh -c " + QuoteArgument("kill -KILL " + std::to_string(pid)); }

namespace {
// The number after `marker` when the line is that marker's, else -1.
long MarkedNumber(const std::string& line, const char* marker) {
    const size_t length = std::strlen(marker);
    if (line.compare(0, length, marker) != 0) return -1;
    const char* digits = line.c_str() + length;
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    const long number = std::strtol(digits, &end, 10);
    return end != digits ? number : -1;
}
}  // namespace

LogReport ReadLog(const std::string& log) {
    LogReport report;
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < log.size()) {
        size_t end = log.find('\n', begin);
        if (end == std::string::npos) end = log.size();
        lines.push_back(log.substr(begin, end - begin));
        begin = end + 1;
    }
    for (const std::string& line : lines) {
        const long pid = MarkedNumber(line, kPidMarker);
        // 0 and 1 are no process a shell started: never a target for a kill.
        if (pid > 1 && pid <= 0x7FFFFFFF) {
            report.pid = static_cast<int>(pid);
            break;
        }
    }
    size_t last = lines.size();
    for (size_t i = lines.size(); i-- > 0;) {
        const long code = MarkedNumber(lines[i], kExitMarker);
        if (code >= 0) {
            report.ended = true;
            report.exit_code = static_cast<int>(code);
            last = i;
            break;
        }
    }
    std::vector<std::string> kept;
    for (size_t i = last; i-- > 0 && kept.size() < kMessageLines;) {
        if (MarkedNumber(lines[i], kPidMarker) >= 0) continue;
        std::string line = TrimLine(lines[i]);
        if (!line.empty()) kept.insert(kept.begin(), line);
    }
    for (const std::string& line : kept) report.message += (report.message.empty() ? "" : "\n") + line;
    return report;
}

}  // namespace ffmpeg_pipe
