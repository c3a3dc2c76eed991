// The ffmpeg sample's decisions: its settings record, the plan of an export,
// the command line that starts ffmpeg (read back by the rules Windows and
// Wine split it with), the partial file's name, and what ffmpeg's log says.
#include "samples/ffmpeg_pipe/pipe_plan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ffmpeg_pipe {
namespace {

std::vector<uint8_t> Record(const PipeSettings& settings) {
    std::vector<uint8_t> bytes(static_cast<size_t>(kSettingsRecord.Size(settings)));
    EXPECT_EQ(kSettingsRecord.Write(settings, bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
    return bytes;
}

PipeSettings Settings(const char* program, const char* arguments, const char* path) {
    PipeSettings settings;
    std::snprintf(settings.program, sizeof settings.program, "%s", program);
    std::snprintf(settings.arguments, sizeof settings.arguments, "%s", arguments);
    std::snprintf(settings.path, sizeof settings.path, "%s", path);
    return settings;
}

// "ソ表" in code page 932: both trail bytes are 0x5C, the path separator.
const char kJapanesePath[] = "C:\\\x83\\\x95\\\\out.mp4";

TEST(PipeSettingsRecord, ANewPluginOffersX264AndAac) {
    PipeSettings settings;
    EXPECT_STREQ(settings.program, "ffmpeg.exe");
    EXPECT_NE(std::strstr(settings.arguments, "-c:v libx264"), nullptr);
    EXPECT_NE(std::strstr(settings.arguments, "-crf "), nullptr);
    EXPECT_NE(std::strstr(settings.arguments, "-c:a aac"), nullptr);
    EXPECT_STREQ(settings.path, "");
}

TEST(PipeSettingsRecord, EveryFieldSurvivesARoundTrip) {
    for (const PipeSettings& saved :
         {PipeSettings(), Settings("D:\\tools\\ffmpeg.exe", "-c:v libx264 -crf 18", kJapanesePath),
          Settings("x", "", "")}) {
        std::vector<uint8_t> bytes = Record(saved);
        EXPECT_EQ(bytes.size(),
                  20 + std::strlen(saved.program) + std::strlen(saved.arguments) + std::strlen(saved.path));
        PipeSettings restored = Settings("previous", "previous", "previous");
        EXPECT_EQ(kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()), &restored),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_STREQ(restored.program, saved.program);
        EXPECT_STREQ(restored.arguments, saved.arguments);
        EXPECT_STREQ(restored.path, saved.path);
    }
}

TEST(PipeSettingsRecord, TooSmallABufferGetsNothing) {
    PipeSettings settings;
    std::vector<uint8_t> bytes(static_cast<size_t>(kSettingsRecord.Size(settings)) - 1, 0xEE);
    EXPECT_EQ(kSettingsRecord.Write(settings, bytes.data(), static_cast<int32_t>(bytes.size())), 0);
    EXPECT_EQ(bytes[0], 0xEE) << "nothing written";
    EXPECT_EQ(kSettingsRecord.Write(settings, nullptr, 4096), 0);
}

void PutU32(std::vector<uint8_t>* bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(PipeSettingsRecord, ForeignDamagedOrOversizedRecordsChangeNothing) {
    // program "ab" at 8, arguments "cd" at 14, path "ef" at 20.
    const std::vector<uint8_t> good = Record(Settings("ab", "cd", "ef"));
    ASSERT_EQ(good.size(), 26u);
    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>*);
    };
    const Damage damages[] = {
        {"another magic", [](std::vector<uint8_t>* b) { (*b)[0] = 'X'; }},
        {"version 2", [](std::vector<uint8_t>* b) { PutU32(b, 4, 2); }},
        {"cut inside the path", [](std::vector<uint8_t>* b) { b->pop_back(); }},
        {"cut inside a length", [](std::vector<uint8_t>* b) { b->resize(16); }},
        {"a program length past the record", [](std::vector<uint8_t>* b) { PutU32(b, 8, 1000); }},
        {"a program of 260 bytes",
         [](std::vector<uint8_t>* b) {
             PutU32(b, 8, 260);
             b->insert(b->begin() + 12, 258, 'p');
         }},
        {"arguments of 1024 bytes",
         [](std::vector<uint8_t>* b) {
             PutU32(b, 14, 1024);
             b->insert(b->begin() + 18, 1022, 'a');
         }},
        {"a NUL inside the arguments", [](std::vector<uint8_t>* b) { (*b)[18] = '\0'; }},
        {"a huge path length", [](std::vector<uint8_t>* b) { PutU32(b, 20, 0xFFFFFFFF); }},
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = good;
        damage.apply(&bytes);
        PipeSettings restored = Settings("kept", "kept", "kept");
        EXPECT_EQ(kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()), &restored), 0) << damage.what;
        EXPECT_STREQ(restored.program, "kept") << damage.what;
        EXPECT_STREQ(restored.arguments, "kept") << damage.what;
        EXPECT_STREQ(restored.path, "kept") << damage.what;
    }
    PipeSettings restored;
    EXPECT_EQ(kSettingsRecord.Read(nullptr, 26, &restored), 0);
}

OutputInfo Info(int32_t width, int32_t height, int32_t frames) {
    OutputInfo info;
    std::memset(&info, 0, sizeof info);
    info.width = width;
    info.height = height;
    info.frame_count = frames;
    info.passthrough_1[0] = 30000;
    info.passthrough_1[1] = 1001;
    info.passthrough_2[0] = 48000;
    info.passthrough_2[1] = 2;
    info.passthrough_2[2] = 48048;
    info.passthrough_2[3] = 4;
    return info;
}

TEST(PipeExportPlan, AFrameIsTwoBytesAPixelAndTheAudioIsTheEditors) {
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(Info(1920, 1080, 30), &plan), PlanError::kNone);
    EXPECT_EQ(plan.frame_bytes, 1920 * 1080 * 2);
    EXPECT_EQ(plan.rate, 30000);
    EXPECT_EQ(plan.scale, 1001);
    EXPECT_TRUE(plan.audio);
    EXPECT_EQ(plan.audio_samples, 48048);
    EXPECT_EQ(plan.audio_block, 4);
}

TEST(PipeExportPlan, PicturesThatH264CannotCarryAreRefusedBeforeFfmpegStarts) {
    ExportPlan plan;
    EXPECT_EQ(MakeExportPlan(Info(0, 1080, 30), &plan), PlanError::kNoVideo);
    EXPECT_EQ(MakeExportPlan(Info(1920, 1080, 0), &plan), PlanError::kNoVideo);
    EXPECT_EQ(MakeExportPlan(Info(33, 18, 30), &plan), PlanError::kOddSize);
    EXPECT_EQ(MakeExportPlan(Info(32, 17, 30), &plan), PlanError::kOddSize);
    EXPECT_EQ(MakeExportPlan(Info(65536, 32768, 30), &plan), PlanError::kNoVideo) << "a frame past 2 GiB";
    OutputInfo eight_bit = Info(64, 48, 30);
    eight_bit.passthrough_2[3] = 2;
    EXPECT_EQ(MakeExportPlan(eight_bit, &plan), PlanError::kAudioFormat);
    OutputInfo absurd_rate = Info(64, 48, 30);
    absurd_rate.passthrough_2[0] = 0x7FFFFFFF;
    EXPECT_EQ(MakeExportPlan(absurd_rate, &plan), PlanError::kAudioFormat);
}

TEST(PipeExportPlan, NoRateMeansThirtyFramesASecondAndNoSamplesMeansNoAudio) {
    OutputInfo info = Info(64, 48, 30);
    info.passthrough_1[0] = 0;
    info.passthrough_2[2] = 0;
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(info, &plan), PlanError::kNone);
    EXPECT_EQ(plan.rate, 30);
    EXPECT_EQ(plan.scale, 1);
    EXPECT_FALSE(plan.audio);
}

// The command-line rules of Windows' C runtime, which Wine follows when it
// turns a command line into a Linux program's arguments.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> arguments;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == line.size()) break;
        std::string argument;
        bool quoted = false;
        for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else {
                    quoted = !quoted;
                }
            } else {
                argument.append(backslashes, '\\');
                if (i == line.size() || (!quoted && (line[i] == ' ' || line[i] == '\t'))) break;
                argument += line[i];
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

TEST(PipeCommandLine, EveryArgumentComesBackAsItWasGiven) {
    for (const std::string argument :
         {"plain", "", "with space", "C:\\Program Files\\ffmpeg\\", "say \"hi\"", "tail\\\\", "\\\"", "tab\there",
          "exec 2>&1; \"$0\" \"$@\"", "C:\\動画\\表示.mp4"}) {
        const std::vector<std::string> back = SplitCommandLine("first " + QuoteArgument(argument) + " last");
        ASSERT_EQ(back.size(), 3u) << argument;
        EXPECT_EQ(back[1], argument);
    }
}

ExportPlan SmallPlan(bool audio) {
    ExportPlan plan;
    EXPECT_EQ(MakeExportPlan(Info(640, 360, 100), &plan), PlanError::kNone);
    plan.audio = audio;
    return plan;
}

std::string Joined(const std::vector<std::string>& arguments, size_t from) {
    std::string text;
    for (size_t i = from; i < arguments.size(); ++i) text += (text.empty() ? "" : "|") + arguments[i];
    return text;
}

TEST(PipeCommandLine, AWindowsFfmpegReadsBothConnectionsAndWritesThePartialFile) {
    CommandParts parts;
    parts.program = "C:\\Program Files\\ffmpeg\\bin\\ffmpeg.exe";
    parts.arguments = "-c:v libx264 -crf 20 -x264-params \"keyint=60:min-keyint=6\"";
    parts.output = "C:\\動画\\出力 1.partial.mp4";
    parts.video_port = 50001;
    parts.audio_port = 50002;
    const std::vector<std::string> arguments = SplitCommandLine(BuildCommandLine(SmallPlan(true), parts));
    ASSERT_FALSE(arguments.empty());
    EXPECT_EQ(arguments[0], parts.program);
    EXPECT_EQ(Joined(arguments, 1),
              "-hide_banner|-nostdin|-nostats|-loglevel|error|-xerror|-y"
              "|-f|rawvideo|-pix_fmt|yuyv422|-video_size|640x360|-framerate|30000/1001|-i|tcp://127.0.0.1:50001"
              "|-f|s16le|-ar|48000|-ac|2|-i|tcp://127.0.0.1:50002|-map|0:v:0|-map|1:a:0"
              "|-c:v|libx264|-crf|20|-x264-params|keyint=60:min-keyint=6|C:\\動画\\出力 1.partial.mp4");
}

TEST(PipeCommandLine, ALinuxFfmpegRunsUnderAShellThatReportsItsExitStatus) {
    CommandParts parts;
    parts.program = "/usr/bin/ffmpeg";
    parts.output = "/tmp/out.partial.mp4";
    parts.video_port = 40000;
    parts.through_shell = true;
    const std::vector<std::string> arguments = SplitCommandLine(BuildCommandLine(SmallPlan(false), parts));
    ASSERT_GE(arguments.size(), 5u);
    EXPECT_EQ(arguments[0], "/bin/sh");
    EXPECT_EQ(arguments[1], "-c");
    EXPECT_EQ(arguments[2], std::string("exec 2>&1; \"$0\" \"$@\" & echo \"") + kPidMarker + "$!\"; wait $!; echo \"" +
                                kExitMarker + "$?\"");
    EXPECT_EQ(arguments[3], "/usr/bin/ffmpeg") << "the shell's $0, run with the rest as its arguments";
    const std::string rest = Joined(arguments, 4);
    EXPECT_NE(rest.find("|-i|tcp://127.0.0.1:40000|-map|0:v:0|/tmp/out.partial.mp4"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("s16le"), std::string::npos) << "no audio input without audio";
}

TEST(PipePartialPath, ThePartialFileKeepsTheExtensionThatChoosesTheFormat) {
    const struct {
        const char* path;
        const char* partial;
    } cases[] = {
        {"C:\\video\\clip.mp4", "C:\\video\\clip.partial.mp4"},
        {"C:\\video.d\\clip", "C:\\video.d\\clip.partial"},
        {"C:\\video\\.mp4", "C:\\video\\.mp4.partial"},
        {"/tmp/a.b.mkv", "/tmp/a.b.partial.mkv"},
        {"C:clip.mov", "C:clip.partial.mov"},
    };
    for (const auto& c : cases) EXPECT_EQ(PartialPath(c.path), c.partial) << c.path;
}

TEST(PipeLog, TheShellsLastLineGivesTheExitStatusAndTheLinesBeforeItTheReason) {
    LogReport report = ReadLog(std::string(kPidMarker) + "4242\n" +
                               "x264 [error]: invalid preset 'slowest'\r\n"
                               "Error initializing output stream 0:0\n" +
                               std::string(kExitMarker) + "1\n");
    EXPECT_TRUE(report.ended);
    EXPECT_EQ(report.exit_code, 1);
    EXPECT_EQ(report.message, "x264 [error]: invalid preset 'slowest'\nError initializing output stream 0:0");
    EXPECT_EQ(report.pid, 4242);

    report = ReadLog(std::string(kExitMarker) + "0\n");
    EXPECT_TRUE(report.ended);
    EXPECT_EQ(report.exit_code, 0);
    EXPECT_EQ(report.message, "");
}

TEST(PipeLog, OnlyAProcessIdTheShellPrintedIsEverKilled) {
    const struct {
        std::string log;
        int pid;
    } cases[] = {
        {std::string(kPidMarker) + "77\n", 77},
        {"Input #0\n" + std::string(kPidMarker) + "77\n", 77},
        {std::string(kPidMarker) + "77\n" + kPidMarker + "99\n", 77},  // the shell's comes first
        {std::string(kPidMarker) + "1\n", 0},
        {std::string(kPidMarker) + "0\n", 0},
        {std::string(kPidMarker) + "-5\n", 0},
        {std::string(kPidMarker) + "\n", 0},
        {std::string(kPidMarker) + "99999999999\n", 0},
        {"said " + std::string(kPidMarker) + "77\n", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadLog(c.log).pid, c.pid) << c.log;
}

TEST(PipeProgram, AProgramPathInQuotesIsThePathWithin) {
    const struct {
        const char* given;
        const char* program;
    } cases[] = {
        {"\"C:\\Program Files\\ffmpeg\\ffmpeg.exe\"", "C:\\Program Files\\ffmpeg\\ffmpeg.exe"},
        {"  \"/usr/bin/ffmpeg\" ", "/usr/bin/ffmpeg"},
        {"ffmpeg.exe", "ffmpeg.exe"},
        {" \tffmpeg.exe\t", "ffmpeg.exe"},
        {"\"", "\""},
        {"\"\"", ""},
        {"   ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(UnquotedProgram(c.given), c.program) << c.given;
}

TEST(PipeLog, WithoutTheMarkerFfmpegHasNotEnded) {
    for (const std::string& log :
         {std::string(), std::string("Input #0, rawvideo\n"), std::string("said ") + kExitMarker + "1\n",
          std::string(kExitMarker) + "\n", std::string(kExitMarker)}) {
        LogReport report = ReadLog(log);
        EXPECT_FALSE(report.ended) << log;
        EXPECT_EQ(report.exit_code, -1) << log;
    }
}

TEST(PipeLog, OnlyTheLastFewLinesReachTheMessage) {
    std::string log;
    for (int i = 1; i <= 20; ++i) log += "line " + std::to_string(i) + "\n\n";
    log += std::string(300 + 50, 'x') + "\n";
    const LogReport report = ReadLog(log);
    EXPECT_FALSE(report.ended);
    EXPECT_EQ(report.message.substr(0, 8), "line 16\n");
    EXPECT_EQ(report.message.substr(report.message.size() - 4), "x...") << "a long line is cut";
}

}  // namespace
}  // namespace ffmpeg_pipe
