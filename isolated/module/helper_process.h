// The isolated module's helper program: started beside the module, in the
// editor's current directory, tied to the editor's life, handed exactly the
// control block, its two call events and the relay context's handoff
// events. Its calls go one at a time from the editor's thread. When it ends
// during a call the user is told why, naming the encoder, and the next call
// starts a fresh one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "isolated/protocol/control_block.h"
#include "isolated/protocol/helper_endpoint.h"
#include "isolated/protocol/section_retirer.h"
#include "platform/child_process.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/shared_memory.h"

// How long the helper may stay silent in a call before its encoder is taken
// for hung and the helper is ended. A settings call copies bytes; an
// encoder's start (its module's start-up and init, each file of the scan on
// its own) may load libraries of its own. Zero: no limit, for config (the
// user's own time) and output (whose serving loop watches the encoder).
inline constexpr std::chrono::milliseconds kSettingsCallPatience{10000};
inline constexpr std::chrono::milliseconds kEncoderStartPatience{30000};

class HelperProcess final : public HelperEndpoint {
public:
    // The relay context's handoff events, which every helper started is
    // handed; they must outlive this object.
    HelperProcess(platform::ObjectHandle done_event, platform::ObjectHandle wake_event);
    ~HelperProcess() override;  // Stop()
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // The block of the helper started last. Only after EnsureRunning() has
    // returned true; it stays mapped after that helper ends, until the next
    // one starts, so that an export can still be wound down in it.
    ControlBlock& Block() override;

    // A running helper that has scanned the encoders: the one there is, or
    // a fresh one when none runs (the first, or after one ended; a crash
    // that ended one between calls is told to the user first). An
    // encoder that ends the helper while it starts is left out, the user
    // is told, and the rest are started in the next helper. False, after
    // showing a message, when no helper can be started.
    bool EnsureRunning() override;

    // The encoders as the first scan listed them; their indices stay those
    // of every later helper's calls, present there or not.
    const std::vector<EncoderListing>& Listing() const { return listing_; }

    // Asks the next fresh helper, once it has scanned, for whatever a
    // helper's predecessor had been told (an encoder's settings); it may
    // make calls of its own.
    void OnFreshHelper(std::function<void(HelperProcess&)> restore) { restore_ = std::move(restore); }

    // True from Post() until its answer is awaited: a window message handled
    // during the wait must not start a call over it.
    bool InCall() const { return in_call_; }

    // With the call's arguments already in the block.
    void Post(HelperCall code) override;
    // Waits for the answer to the call posted last, or for the helper's end.
    // At its end: reads the crash record, shows the message that names
    // `encoder_name` (null during the scan: the file being started), the
    // exception code, the module and the offset, and lets the helper go, so
    // that the next call starts a fresh one.
    CallOutcome AwaitAnswer(const char* encoder_name, platform::WhileWaiting messages) override {
        return AwaitAnswerWithin(encoder_name, messages, std::chrono::milliseconds{0});
    }
    // The same, ending the helper with a message once it has been silent for
    // `patience` (during the scan: since it last moved on to another file).
    CallOutcome AwaitAnswerWithin(const char* encoder_name, platform::WhileWaiting messages,
                                  std::chrono::milliseconds patience);
    CallOutcome Call(HelperCall code, const char* encoder_name, platform::WhileWaiting messages,
                     std::chrono::milliseconds patience = std::chrono::milliseconds{0});

    platform::ObjectHandle Process() const override { return child_.handle(); }
    platform::ObjectHandle DuplicateIntoHelper(platform::ObjectHandle handle) const {
        return child_.DuplicateInto(handle);
    }
    platform::ObjectHandle DuplicateIntoPeer(platform::ObjectHandle handle) const override {
        return DuplicateIntoHelper(handle);
    }

    // Ends a helper whose encoder stopped answering, then tells the user so.
    void EndHungHelper(const char* encoder_name);
    void EndUnanswering(const char* encoder_name) override { EndHungHelper(encoder_name); }
    void LetSectionGo(platform::SharedMemory& section) override { retirer_.Retire(section); }
    // Every encoder's exit in the helper, with a bounded wait, then its end;
    // no helper runs afterwards.
    void Stop();

private:
    bool StartHelper();
    // false: give up (the user has been told); `left_out` set when an
    // encoder ended the helper while it was being started.
    bool Scan(bool* left_out);
    // The name the user is told of at the helper's end: the encoder's, or
    // during the scan the file being started (then left out next time).
    const char* NameAtEnd(const char* encoder_name, char (&scan_file)[260], bool* starting);
    void ReportEnd(const char* encoder_name);
    void ReportCrashBetweenCalls();
    // The process and the call events go; the block stays mapped.
    void LetGo();

    const platform::ObjectHandle done_event_;
    const platform::ObjectHandle wake_event_;
    platform::SharedMemory block_memory_;
    ControlBlock* block_ = nullptr;
    platform::AutoResetEvent call_event_;
    platform::AutoResetEvent reply_event_;
    platform::ChildProcess child_;
    bool in_call_ = false;
    HelperCall posted_ = HelperCall::None;

    std::vector<EncoderListing> listing_;
    bool listed_ = false;                // listing_ is the first scan's
    std::vector<std::string> left_out_;  // files whose start ended a helper
    std::string ended_while_starting_;   // the last such file, set by ReportEnd
    std::function<void(HelperProcess&)> restore_;
    SectionRetirer retirer_;  // an export's slot section, let go after the export
};
