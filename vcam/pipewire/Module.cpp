// The PipeWire camera: one video source node on its own PipeWire thread.
// The node repeats the latest camera frame at a steady rate as a driver of
// its own graph, so consumers built for 30 frames a second keep getting
// frames from a camera that gives one every second or two. The program
// calls only SetFrame, which never waits on PipeWire.

#include "vcam/PipeWireModule.h"
#include "vcam/Yuv.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace orv::vcam {
namespace {

// How long a lost or missing daemon is left before the next attempt.
constexpr int64_t kRetryNs = 1'000'000'000;
// Buffers between the node and its consumers: two to fill and hand over,
// one more for a consumer that holds one; never more, so memory is bounded
// however a consumer behaves.
constexpr int kBuffers = 3;

module::HostServices& Host()
{
    static module::HostServices host{};
    return host;
}

[[gnu::format(printf, 1, 2)]] void Log(const char* format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (Host().log)
        Host().log(line);
}

timespec Nanoseconds(int64_t ns) { return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)}; }

class PipeWireNode final : public module::Node {
public:
    explicit PipeWireNode(const module::NodeSettings& settings) : settings_(settings)
    {
        if (settings_.framesPerSecond < 1)
            settings_.framesPerSecond = 1;
        loop_ = pw_thread_loop_new("orvello-camera", nullptr);
        pw_loop* loop = pw_thread_loop_get_loop(loop_);
        tick_ = pw_loop_add_timer(loop, &PipeWireNode::OnTick, this);
        retry_ = pw_loop_add_timer(loop, &PipeWireNode::OnRetry, this);
        wake_ = pw_loop_add_event(loop, &PipeWireNode::OnWake, this);
        pw_thread_loop_start(loop_);
    }

    ~PipeWireNode() override
    {
        pw_thread_loop_lock(loop_);
        TearDown();
        pw_loop* loop = pw_thread_loop_get_loop(loop_);
        pw_loop_destroy_source(loop, tick_);
        pw_loop_destroy_source(loop, retry_);
        pw_loop_destroy_source(loop, wake_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }

    PipeWireNode(const PipeWireNode&) = delete;
    PipeWireNode& operator=(const PipeWireNode&) = delete;

    // The first attempt, with the reason it failed.
    bool FirstConnect(std::string* error)
    {
        pw_thread_loop_lock(loop_);
        const bool ok = Connect(error);
        pw_thread_loop_unlock(loop_);
        return ok;
    }

    void SetFrame(std::shared_ptr<const module::RgbFrame> frame) override
    {
        if (!frame || frame->width <= 0 || frame->height <= 0 || frame->stride < 3 * frame->width ||
            frame->pixels.size() < static_cast<size_t>(frame->stride) * static_cast<size_t>(frame->height))
            return;
        {
            std::lock_guard lock(pendingMutex_);
            pending_ = std::move(frame);
        }
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), wake_);
    }

    bool Connected() const override { return connected_.load(); }
    uint64_t FramesSent() const override { return sent_.load(); }

private:
    // --- everything below runs on the node's thread, or under its lock ---

    bool Connect(std::string* error)
    {
        // A context of its own for each connection: one that has lost its
        // daemon keeps that daemon's memory and ports, and a stream made on
        // it again is never linked.
        if (!context_)
            context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (!context_) {
            if (error)
                *error = "PipeWire could not be initialised";
            return false;
        }
        core_ = pw_context_connect(context_, nullptr, 0);
        if (!core_) {
            // The loader's errno says little here ("Host is down" for a
            // missing socket); where it looked says more.
            const char* folder = std::getenv("PIPEWIRE_RUNTIME_DIR");
            if (!folder || !*folder)
                folder = std::getenv("XDG_RUNTIME_DIR");
            const std::string where = folder && *folder ? folder : "the runtime folder";
            if (error)
                *error = "PipeWire is not running (no daemon in " + where + ")";
            if (!waitingLogged_) {
                Log("PipeWire is not running (no daemon in %s); the camera appears when it starts", where.c_str());
                waitingLogged_ = true;
            }
            ArmRetry();
            return false;
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = &PipeWireNode::OnCoreError;
            return events;
        }();
        spa_zero(coreListener_);
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        connected_ = true;
        if (waitingLogged_ || lost_)
            Log("connected to PipeWire: the camera \"%s\" is back", settings_.description.c_str());
        waitingLogged_ = false;
        lost_ = false;
        if (current_)
            MakeStream();
        return true;
    }

    void TearDown()
    {
        DropStream();
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
        if (context_) {
            pw_context_destroy(context_);
            context_ = nullptr;
        }
        connected_ = false;
    }

    void DropStream()
    {
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), tick_, nullptr, nullptr, false);
        if (stream_) {
            spa_hook_remove(&streamListener_);
            pw_stream_disconnect(stream_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        streaming_ = false;
        layoutKnown_ = false;
    }

    void ArmRetry()
    {
        timespec value = Nanoseconds(kRetryNs);
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &value, nullptr, false);
    }

    void MakeStream()
    {
        const std::string size = std::to_string(current_->width) + "x" + std::to_string(current_->height);
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
            PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, settings_.name.c_str(), PW_KEY_NODE_DESCRIPTION,
            settings_.description.c_str(), PW_KEY_NODE_NICK, settings_.description.c_str(), nullptr);
        stream_ = pw_stream_new(core_, settings_.name.c_str(), props);
        if (!stream_) {
            Log("the camera's stream could not be made: %s", std::strerror(errno));
            return;
        }
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = &PipeWireNode::OnStateChanged;
            events.param_changed = &PipeWireNode::OnParamChanged;
            events.process = &PipeWireNode::OnProcess;
            return events;
        }();
        spa_zero(streamListener_);
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);
        streamWidth_ = current_->width;
        streamHeight_ = current_->height;

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle rect = SPA_RECTANGLE(static_cast<uint32_t>(streamWidth_), static_cast<uint32_t>(streamHeight_));
        spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(settings_.framesPerSecond), 1);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_I420),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rect), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
        const int result = pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        if (result < 0)
            Log("the camera's stream could not be connected: %s", std::strerror(-result));
        else
            Log("PipeWire camera \"%s\" publishes %s frames", settings_.description.c_str(), size.c_str());
    }

    void Negotiated(const spa_pod* param)
    {
        spa_video_info_raw info{};
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
            return;
        layout_ = info.format == SPA_VIDEO_FORMAT_I420 ? PixelLayout::I420 : PixelLayout::Yuy2;
        layoutKnown_ = true;
        converted_.clear();
        const size_t bytes = FrameBytes(layout_, streamWidth_, streamHeight_);
        const int stride = RowBytes(layout_, streamWidth_);

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, kBuffers), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(static_cast<int>(bytes)), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        pw_stream_update_params(stream_, params, 1);
    }

    // The frame the node repeats, in the negotiated layout; converted once
    // for each camera frame.
    const std::vector<uint8_t>& Converted()
    {
        if (converted_.empty() && current_) {
            converted_.resize(FrameBytes(layout_, current_->width, current_->height));
            if (!ConvertRgb(current_->pixels.data(), current_->width, current_->height, current_->stride, layout_,
                            converted_.data(), converted_.size()))
                converted_.clear();
        }
        return converted_;
    }

    void Process()
    {
        // No free buffer: every one is with a consumer that has not given it
        // back. The frame is skipped; nothing waits for the consumer.
        pw_buffer* handle = pw_stream_dequeue_buffer(stream_);
        if (!handle)
            return;
        spa_buffer* buffer = handle->buffer;
        spa_data& data = buffer->datas[0];
        const std::vector<uint8_t>& frame = Converted();
        if (!data.data || !layoutKnown_ || frame.empty() || data.maxsize < frame.size()) {
            data.chunk->size = 0;
            pw_stream_queue_buffer(stream_, handle);
            return;
        }
        std::memcpy(data.data, frame.data(), frame.size());
        data.chunk->offset = 0;
        data.chunk->size = static_cast<uint32_t>(frame.size());
        data.chunk->stride = RowBytes(layout_, streamWidth_);
        pw_stream_queue_buffer(stream_, handle);
        ++sent_;
    }

    void TakePending()
    {
        std::shared_ptr<const module::RgbFrame> frame;
        {
            std::lock_guard lock(pendingMutex_);
            frame = std::move(pending_);
        }
        if (!frame)
            return;
        current_ = std::move(frame);
        converted_.clear();
        if (!core_)
            return;  // published when the daemon is there
        if (stream_ && (current_->width != streamWidth_ || current_->height != streamHeight_)) {
            Log("the camera's frames are now %dx%d: the stream starts again", current_->width, current_->height);
            DropStream();
        }
        if (!stream_)
            MakeStream();
        else if (streaming_)
            pw_stream_trigger_process(stream_);  // the new frame goes out at once
    }

    // --- callbacks ---

    static void OnTick(void* self, uint64_t)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        if (node->stream_ && node->streaming_)
            pw_stream_trigger_process(node->stream_);
    }

    static void OnRetry(void* self, uint64_t)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        if (!node->core_)
            node->Connect(nullptr);
    }

    static void OnWake(void* self, uint64_t)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        if (node->lost_ && node->core_) {
            // The daemon went away: everything of the old connection goes,
            // and the node is made again once a daemon answers.
            node->TearDown();
            node->ArmRetry();
        }
        node->TakePending();
    }

    static void OnCoreError(void* self, uint32_t id, int, int res, const char* message)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        if (id != PW_ID_CORE || res != -EPIPE)
            return;
        if (!node->lost_)
            Log("PipeWire went away (%s); the camera comes back when it returns", message ? message : "");
        node->lost_ = true;
        node->connected_ = false;
        // Not torn down here: the connection is still in its own callback.
        pw_loop_signal_event(pw_thread_loop_get_loop(node->loop_), node->wake_);
    }

    static void OnStateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        pw_loop* loop = pw_thread_loop_get_loop(node->loop_);
        node->streaming_ = state == PW_STREAM_STATE_STREAMING;
        if (node->streaming_) {
            timespec value = Nanoseconds(1);
            timespec interval = Nanoseconds(1'000'000'000 / node->settings_.framesPerSecond);
            pw_loop_update_timer(loop, node->tick_, &value, &interval, false);
        } else {
            pw_loop_update_timer(loop, node->tick_, nullptr, nullptr, false);
        }
        if (state == PW_STREAM_STATE_ERROR)
            Log("the camera's stream failed: %s", error ? error : "unknown error");
    }

    static void OnParamChanged(void* self, uint32_t id, const spa_pod* param)
    {
        auto* node = static_cast<PipeWireNode*>(self);
        if (id == SPA_PARAM_Format && param)
            node->Negotiated(param);
    }

    static void OnProcess(void* self) { static_cast<PipeWireNode*>(self)->Process(); }

    module::NodeSettings settings_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    spa_source* tick_ = nullptr;
    spa_source* retry_ = nullptr;
    spa_source* wake_ = nullptr;

    std::mutex pendingMutex_;
    std::shared_ptr<const module::RgbFrame> pending_;

    std::shared_ptr<const module::RgbFrame> current_;
    std::vector<uint8_t> converted_;
    int streamWidth_ = 0;
    int streamHeight_ = 0;
    PixelLayout layout_ = PixelLayout::Yuy2;
    bool layoutKnown_ = false;
    bool streaming_ = false;
    bool lost_ = false;
    bool waitingLogged_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> sent_{0};
};

class PipeWireModule final : public module::Module {
public:
    std::unique_ptr<module::Node> Publish(const module::NodeSettings& settings, std::string* error) override
    {
        auto node = std::make_unique<PipeWireNode>(settings);
        node->FirstConnect(error);
        return node;
    }
};

}  // namespace
}  // namespace orv::vcam

extern "C" {

[[gnu::visibility("default")]] extern const int orvello_pipewire_abi;
const int orvello_pipewire_abi = orv::vcam::module::kAbiVersion;

[[gnu::visibility("default")]] orv::vcam::module::Module* orvello_pipewire_open(
    int abiVersion, const orv::vcam::module::HostServices* host)
{
    using namespace orv::vcam;
    if (abiVersion != module::kAbiVersion || !host || !host->log)
        return nullptr;
    static PipeWireModule pipewire = [host] {
        Host() = *host;
        pw_init(nullptr, nullptr);
        return PipeWireModule();
    }();
    return &pipewire;
}

}  // extern "C"
