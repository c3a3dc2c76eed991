// The tests' window on a RelayContext's export state, which in the product
// only the context's own member functions write: a test sets up one step of
// the relay and looks at what it left, with no thread of its own running.
//
//     Inside(context).aborted.store(1);
#pragma once

#include "plugin/relay_context.h"

struct RelayContextProbe {
    explicit RelayContextProbe(RelayContext& context)
        : host_info(context.host_info),
          relay_info(context.relay_info),
          worker_thread(context.worker_thread),
          command(context.command),
          current_format(context.current_format),
          slot_stride(context.slot_stride),
          video_frame_bytes(context.video_frame_bytes),
          video_slots(context.video_slots),
          video_tags(context.video_tags),
          last_video_frame(context.last_video_frame),
          flag_values(context.flag_values),
          flag_tags(context.flag_tags),
          last_flag_frame(context.last_flag_frame),
          request_lock(context.request_lock),
          done_event(context.done_event),
          wake_event(context.wake_event),
          req_video_frame(context.req_video_frame),
          req_video_format(context.req_video_format),
          req_flag_frame(context.req_flag_frame),
          req_audio_start(context.req_audio_start),
          req_audio_length(context.req_audio_length),
          req_audio_read(context.req_audio_read),
          audio_result(context.audio_result),
          flag_result(context.flag_result),
          video_result(context.video_result),
          aborted(context.aborted),
          abort_check_pending(context.abort_check_pending),
          preview_pending(context.preview_pending),
          progress_position(context.progress_position),
          progress_total(context.progress_total),
          shown_position(context.shown_position),
          shown_total(context.shown_total),
          read_ahead_lead(context.read_ahead_lead),
          serving_wait(context.serving_wait) {}

    OutputInfo*& host_info;
    OutputInfo& relay_info;
    platform::Thread& worker_thread;
    std::atomic<int32_t>& command;
    std::atomic<uint32_t>& current_format;
    std::atomic<int32_t>& slot_stride;
    int32_t& video_frame_bytes;
    std::atomic<uint8_t*>& video_slots;
    AtomicInt32Array& video_tags;
    std::atomic<int32_t>& last_video_frame;
    AtomicInt32Array& flag_values;
    AtomicInt32Array& flag_tags;
    std::atomic<int32_t>& last_flag_frame;
    platform::Lock& request_lock;
    platform::AutoResetEvent& done_event;
    platform::AutoResetEvent& wake_event;
    int32_t& req_video_frame;
    uint32_t& req_video_format;
    int32_t& req_flag_frame;
    int32_t& req_audio_start;
    int32_t& req_audio_length;
    int*& req_audio_read;
    void*& audio_result;
    int32_t& flag_result;
    void*& video_result;
    std::atomic<int32_t>& aborted;
    std::atomic<uint8_t>& abort_check_pending;
    std::atomic<uint8_t>& preview_pending;
    std::atomic<int32_t>& progress_position;
    std::atomic<int32_t>& progress_total;
    int32_t& shown_position;
    int32_t& shown_total;
    int32_t& read_ahead_lead;
    std::atomic<uint8_t>& serving_wait;
};

inline RelayContextProbe Inside(RelayContext& context) { return RelayContextProbe(context); }
