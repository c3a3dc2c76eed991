#include "isolated/module/helper_process.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "isolated/module/helper_messages.h"
#include "isolated/protocol/block_checks.h"
#include "isolated/protocol/helper_arguments.h"
#include "isolated/protocol/scan_request.h"
#include "platform/folder.h"
#include "platform/module.h"
#include "plugin/show_error.h"

namespace {

const char kHelperFileName[] = "sidecar_helper.exe";

// What the encoders' exits get when the module lets the helper go, in half
// seconds, and then the helper's own end: an exit that takes longer is cut
// short rather than hold the editor's closing.
constexpr int kExitAnswerWaits = 10;
constexpr uint32_t kExitEndMilliseconds = 2000;
// The exit code of a helper that the module ended (a hung encoder, an exit
// that did not end).
constexpr uint32_t kEndedByModuleExitCode = 1;

// Beside this module, wherever the editor loaded it from: the README has
// users put both files in the editor's folder.
bool FindHelper(std::string* path) {
    char module_path[MAX_PATH];
    const DWORD length =
        GetModuleFileNameA(static_cast<HMODULE>(platform::OwnModule()), module_path, sizeof module_path);
    if (length == 0 || length >= sizeof module_path) return false;
    platform::RemoveLastPathElement(module_path);
    try {
        *path = module_path;
        *path += platform::kPathSeparator;
        *path += kHelperFileName;
    } catch (const std::bad_alloc&) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(path->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

HelperProcess::HelperProcess(platform::ObjectHandle done_event, platform::ObjectHandle wake_event)
    : done_event_(done_event), wake_event_(wake_event) {}

HelperProcess::~HelperProcess() { Stop(); }

ControlBlock& HelperProcess::Block() { return *block_; }

bool HelperProcess::StartHelper() {
    LetGo();
    std::string path;
    if (!FindHelper(&path)) {
        ShowError(kHelperMissingMessage);
        return false;
    }
    // A fresh block for every helper: nothing its predecessor left there
    // (a crash record, an answer) can be taken for this one's.
    block_ = nullptr;
    char executable[platform::kPathBufferSize];
    bool ready = block_memory_.Create(sizeof(ControlBlock)) &&
                 platform::GetHostExecutablePath(executable, sizeof executable) && call_event_.Create() &&
                 reply_event_.Create();
    if (ready) {
        block_ = new (block_memory_.data()) ControlBlock;
        FillField(block_->editor_executable, executable);
        const platform::ObjectHandle handles[kHelperHandleCount] = {block_memory_.handle(), call_event_.handle(),
                                                                    reply_event_.handle(), done_event_, wake_event_};
        ready = child_.Start(
            path.c_str(), handles, kHelperHandleCount,
            [](const platform::ObjectHandle* child_handles) { return FormatHelperArguments(child_handles); });
    }
    if (!ready) {
        LetGo();
        ShowError(kHelperStartMessage);
        return false;
    }
    return true;
}

bool HelperProcess::Scan(bool* left_out) {
    *left_out = false;
    ScanRequest request;
    try {
        request.passed_over = left_out_;
        request.has_roster = listed_;
        if (listed_) {
            for (const EncoderListing& entry : listing_) request.roster.push_back(entry.file_name);
        }
    } catch (const std::bad_alloc&) {
        LetGo();
        ShowError(kHelperStartMessage);
        return false;
    }
    if (!WriteScanRequest(*block_, request)) {
        LetGo();
        ShowError(kHelperStartMessage);
        return false;
    }
    ended_while_starting_.clear();
    const CallOutcome outcome =
        Call(HelperCall::Scan, nullptr, platform::WhileWaiting::TakeSentMessages, kEncoderStartPatience);
    if (outcome.helper_ended) {
        // Each such end leaves one more file out, so the starts come to an end.
        if (ended_while_starting_.empty()) return false;
        for (const std::string& file : left_out_) {
            if (file == ended_while_starting_) return false;
        }
        try {
            left_out_.push_back(ended_while_starting_);
        } catch (const std::bad_alloc&) {
            return false;
        }
        *left_out = true;
        return false;
    }
    std::vector<EncoderListing> listing;
    bool usable = outcome.status == CallStatus::Done;
    try {
        usable = usable && ReadScanAnswer(*block_, listed_ ? &request.roster : nullptr, &listing);
    } catch (const std::bad_alloc&) {
        usable = false;
    }
    if (!usable) {
        // Not what this build's helper answers.
        Stop();
        ShowError(kHelperMismatchMessage);
        return false;
    }
    if (!listed_) {
        listing_.swap(listing);
        listed_ = true;
    }
    return true;
}

bool HelperProcess::EnsureRunning() {
    if (in_call_) return false;
    if (child_.Started()) {
        if (!child_.HasEnded()) return true;
        ReportCrashBetweenCalls();
        LetGo();
    }
    const bool successor = listed_;
    for (;;) {
        if (!StartHelper()) return false;
        bool left_out = false;
        if (Scan(&left_out)) break;
        if (!left_out) return false;
    }
    if (successor && restore_) {
        restore_(*this);
        if (!child_.Started()) return false;
    }
    return true;
}

void HelperProcess::Post(HelperCall code) {
    if (block_ == nullptr) return;
    block_->call.status.store(static_cast<int32_t>(CallStatus::Pending), std::memory_order_relaxed);
    block_->call.code.store(static_cast<int32_t>(code), std::memory_order_release);
    posted_ = code;
    in_call_ = true;
    if (child_.Started()) call_event_.Signal();
}

CallOutcome HelperProcess::AwaitAnswerWithin(const char* encoder_name, platform::WhileWaiting messages,
                                             std::chrono::milliseconds patience) {
    CallOutcome outcome;
    if (!in_call_) return outcome;
    if (!child_.Started()) {
        in_call_ = false;
        outcome.helper_ended = true;
        return outcome;
    }
    const bool limited = patience.count() > 0;
    const int64_t allowed_waits = (patience.count() + 499) / 500;  // of half a second each
    int64_t silent_waits = 0;
    uint32_t progress = block_->call.progress.load(std::memory_order_acquire);
    platform::WaitEnd end = platform::WaitEnd::TimedOut;
    for (;;) {
        end = platform::WaitForEventOrEnd(reply_event_, child_.handle(),
                                          limited ? platform::WaitLimit::HalfSecond : platform::WaitLimit::Forever,
                                          messages);
        if (end != platform::WaitEnd::TimedOut || !limited) break;
        const uint32_t now = block_->call.progress.load(std::memory_order_acquire);
        if (now != progress) {
            progress = now;
            silent_waits = 0;
        } else if (++silent_waits >= allowed_waits) {
            break;
        }
    }
    in_call_ = false;
    switch (end) {
        case platform::WaitEnd::Signalled: {
            const int32_t status = block_->call.status.load(std::memory_order_acquire);
            // A reply with no answer in it is no answer this build's helper
            // gives: the call failed, and the helper may go on.
            outcome.status = status == static_cast<int32_t>(CallStatus::Done) ? CallStatus::Done : CallStatus::Refused;
            outcome.result = outcome.status == CallStatus::Done ? block_->call.result : 0;
            return outcome;
        }
        case platform::WaitEnd::ProcessEnded:
            ReportEnd(encoder_name);
            LetGo();
            outcome.helper_ended = true;
            return outcome;
        case platform::WaitEnd::TimedOut: break;
    }
    // Silent for longer than the call may be, or a wait without a limit that
    // failed: no answer can be waited for any more.
    EndHungHelper(encoder_name);
    outcome.helper_ended = true;
    return outcome;
}

CallOutcome HelperProcess::Call(HelperCall code, const char* encoder_name, platform::WhileWaiting messages,
                                std::chrono::milliseconds patience) {
    if (in_call_) {
        CallOutcome refused;
        refused.status = CallStatus::Refused;
        return refused;
    }
    Post(code);
    return AwaitAnswerWithin(encoder_name, messages, patience);
}

const char* HelperProcess::NameAtEnd(const char* encoder_name, char (&scan_file)[260], bool* starting) {
    static_assert(sizeof scan_file == sizeof block_->call.scan_file, "the block's field fits");
    CopyField(scan_file, block_->call.scan_file);
    *starting = posted_ == HelperCall::Scan && scan_file[0] != '\0';
    if (*starting) ended_while_starting_ = scan_file;
    return encoder_name != nullptr ? encoder_name : (*starting ? scan_file : kHelperFileName);
}

void HelperProcess::ReportEnd(const char* encoder_name) {
    char scan_file[sizeof block_->call.scan_file];
    bool starting = false;
    const char* name = NameAtEnd(encoder_name, scan_file, &starting);

    char text[1024];
    const platform::CrashRecord& crash = block_->crash;
    const uint32_t exit_code = child_.ExitCode();
    if (crash.written.load(std::memory_order_acquire) != 0) {
        char module[sizeof crash.module];
        CopyField(module, crash.module);
        if (module[0] != '\0') {
            std::snprintf(text, sizeof text, kEncoderCrashFormat, name, static_cast<unsigned>(crash.code), module,
                          static_cast<unsigned>(crash.offset));
        } else {
            std::snprintf(text, sizeof text, kEncoderCrashAtAddressFormat, name, static_cast<unsigned>(crash.code),
                          static_cast<unsigned>(crash.offset));
        }
    } else if (exit_code == kHelperRefusedExitCode && !starting) {
        ShowError(kHelperMismatchMessage);
        return;
    } else {
        std::snprintf(text, sizeof text, kEncoderEndedFormat, name, static_cast<unsigned>(exit_code));
    }
    if (starting) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%s", kLeftOutNote);
    }
    ShowError(text);
}

// A thread of an encoder's own crashed the helper while no call was in
// flight; the user hears of it at the next call rather than never. A helper
// ended from outside, without a crash, is simply started again.
void HelperProcess::ReportCrashBetweenCalls() {
    if (block_ == nullptr || block_->crash.written.load(std::memory_order_acquire) == 0) return;
    char module[sizeof block_->crash.module];
    CopyField(module, block_->crash.module);
    const char* name = kHelperFileName;
    for (const EncoderListing& entry : listing_) {
        if (module[0] != '\0' && lstrcmpiA(entry.file_name, module) == 0) {
            name = entry.name;
            break;
        }
    }
    posted_ = HelperCall::None;  // whatever was called last has been answered
    ReportEnd(name);
}

void HelperProcess::EndHungHelper(const char* encoder_name) {
    in_call_ = false;
    if (child_.Started()) child_.Terminate(kEndedByModuleExitCode);
    char text[1024];
    char scan_file[sizeof block_->call.scan_file] = {};
    bool starting = false;
    const char* name = block_ != nullptr ? NameAtEnd(encoder_name, scan_file, &starting)
                                         : (encoder_name != nullptr ? encoder_name : kHelperFileName);
    std::snprintf(text, sizeof text, kEncoderHungFormat, name);
    if (starting) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%s", kLeftOutNote);
    }
    LetGo();
    ShowError(text);
}

void HelperProcess::Stop() {
    if (child_.Started() && !child_.HasEnded() && !in_call_ && block_ != nullptr) {
        Post(HelperCall::Exit);
        for (int wait = 0; wait < kExitAnswerWaits; ++wait) {
            const platform::WaitEnd end =
                platform::WaitForEventOrEnd(reply_event_, child_.handle(), platform::WaitLimit::HalfSecond,
                                            platform::WhileWaiting::TakeSentMessages);
            if (end != platform::WaitEnd::TimedOut) break;
        }
        in_call_ = false;
        child_.WaitForEnd(kExitEndMilliseconds);
    }
    LetGo();
    block_memory_.Close();
    block_ = nullptr;
    retirer_.Finish();
}

void HelperProcess::LetGo() {
    // Close ends a helper that still runs.
    child_.Close();
    call_event_.Close();
    reply_event_.Close();
    in_call_ = false;
}
