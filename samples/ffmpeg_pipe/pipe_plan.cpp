#include "samples/ffmpeg_pipe/pipe_plan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "samples/common/record_bytes.h"

namespace ffmpeg_pipe {

namespace {
const char kRecordMagic[4] = {'F', 'F', 'P', 'I'};
constexpr uint32_t kRecordVersion = 1;
constexpr int32_t kRecordHeaderBytes = 8;
constexpr size_t kMessageLines = 6;
constexpr size_t kMessageLineBytes = 300;
constexpr int32_t kMaxAudioRate = 768000;

using sample_record::GetU32;
using sample_record::PutU32;
using sample_record::TextLength;

void CopyText(char* target, size_t capacity, const char* text) { std::snprintf(target, capacity, "%s", text); }

struct Field {
    char* text;
    size_t capacity;
};

// Reads one length-prefixed string at `*offset`; false when it does not fit
// the record or the field, or holds a NUL that would silently shorten it.
bool ReadField(const uint8_t* in, int32_t size, int32_t* offset, Field field) {
    if (size - *offset < 4) return false;
    const uint32_t length = GetU32(in + *offset);
    *offset += 4;
    if (length >= field.capacity || length > static_cast<uint32_t>(size - *offset)) return false;
    if (std::memchr(in + *offset, '\0', length) != nullptr) return false;
    std::memcpy(field.text, in + *offset, length);
    field.text[length] = '\0';
    *offset += static_cast<int32_t>(length);
    return true;
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

int32_t SettingsRecordSize(const PipeSettings& settings) {
    return kRecordHeaderBytes + 12 +
           static_cast<int32_t>(TextLength(settings.program, kPathBytes) +
                                TextLength(settings.arguments, kArgumentBytes) + TextLength(settings.path, kPathBytes));
}

int32_t WriteSettingsRecord(const PipeSettings& settings, void* data, int32_t size) {
    const int32_t needed = SettingsRecordSize(settings);
    if (data == nullptr || size < needed) return 0;
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, kRecordMagic, 4);
    PutU32(out + 4, kRecordVersion);
    int32_t offset = kRecordHeaderBytes;
    for (const auto& [text, capacity] : {std::pair<const char*, size_t>{settings.program, kPathBytes},
                                         {settings.arguments, kArgumentBytes},
                                         {settings.path, kPathBytes}}) {
        const size_t length = TextLength(text, capacity);
        PutU32(out + offset, static_cast<uint32_t>(length));
        std::memcpy(out + offset + 4, text, length);
        offset += 4 + static_cast<int32_t>(length);
    }
    return offset;
}

int32_t ReadSettingsRecord(const void* data, int32_t size, PipeSettings* settings) {
    if (data == nullptr || size < kRecordHeaderBytes) return 0;
    const auto* in = static_cast<const uint8_t*>(data);
    if (std::memcmp(in, kRecordMagic, 4) != 0 || GetU32(in + 4) != kRecordVersion) return 0;
    PipeSettings restored;
    int32_t offset = kRecordHeaderBytes;
    if (!ReadField(in, size, &offset, {restored.program, kPathBytes}) ||
        !ReadField(in, size, &offset, {restored.arguments, kArgumentBytes}) ||
        !ReadField(in, size, &offset, {restored.path, kPathBytes})) {
        return 0;
    }
    *settings = restored;
    return offset;
}

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan) {
    ExportPlan made;
    if (info.width <= 0 || info.height <= 0 || info.frame_count <= 0) return PlanError::kNoVideo;
    if (info.width % 2 != 0 || info.height % 2 != 0) return PlanError::kOddSize;
    const int64_t frame_bytes = static_cast<int64_t>(info.width) * info.height * 2;
    if (frame_bytes > 0x7FFFFFFF) return PlanError::kNoVideo;
    made.width = info.width;
    made.height = info.height;
    made.frame_count = info.frame_count;
    made.frame_bytes = static_cast<int32_t>(frame_bytes);
    made.rate = info.passthrough_1[0];
    made.scale = info.passthrough_1[1];
    if (made.rate <= 0 || made.scale <= 0) {
        // A host that gives no rate still gets a playable file.
        made.rate = 30;
        made.scale = 1;
    }
    const int32_t audio_rate = info.passthrough_2[0];
    const int32_t audio_channels = info.passthrough_2[1];
    const int32_t audio_samples = info.passthrough_2[2];
    const int32_t audio_block = info.passthrough_2[3];
    if (audio_samples > 0 && audio_rate > 0 && audio_channels > 0) {
        // The sample reads a second of audio at a time; a rate beyond any
        // real one would make that second larger than the address space.
        if (audio_channels > 8 || audio_block != audio_channels * 2 || audio_rate > kMaxAudioRate) {
            return PlanError::kAudioFormat;
        }
        made.audio = true;
        made.audio_rate = audio_rate;
        made.audio_channels = audio_channels;
        made.audio_samples = audio_samples;
        made.audio_block = audio_block;
    }
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

std::string PartialPath(const std::string& path) {
    const size_t name = path.find_last_of("\\/:");
    const size_t start = name == std::string::npos ? 0 : name + 1;
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return path + ".partial";
    return path.substr(0, dot) + ".partial" + path.substr(dot);
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
