#include "platform/ffmpeg_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace quenda::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Every stream buffers at least this much audio, whatever the caller sets.
constexpr int kMinBufferMilliseconds = 90'000;
// Packets in a row the decoder may reject before the stream counts as broken.
constexpr int kMaxBadPacketsInRow = 200;
// Packets an open may read before its first decoded frame.
constexpr int kMaxPacketsBeforeAudio = 2'000;

// The protocols a station address may use, HLS segments included, and what a
// local file adds when the caller allows them.
constexpr const char* kNetworkProtocols = "http,https,tcp,tls,crypto,httpproxy";
constexpr const char* kLocalProtocols = "http,https,tcp,tls,crypto,httpproxy,file";

struct FormatCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct CodecFreer {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct SwrFreer {
    void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};
struct PacketFreer {
    void operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;

// An AVChannelLayout that is released with its owner.
struct Layout {
    AVChannelLayout value{};
    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() { av_channel_layout_uninit(&value); }
};

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void quietLibrariesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // No log: FFmpeg's messages would go to the terminal of a desktop program.
        av_log_set_level(AV_LOG_QUIET);
        avformat_network_init();
    });
}

std::string lowerScheme(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return {};
        c = static_cast<char>(std::tolower(u));
    }
    return scheme;
}

bool isNetworkScheme(const std::string& scheme) { return scheme == "http" || scheme == "https"; }

// Bounds every blocking FFmpeg call of one connection: FFmpeg polls this about
// every 100 ms while it waits on the network.
struct IoWatch {
    const std::atomic<bool>* stopping = nullptr;
    Clock::duration connectTimeout{};
    Clock::duration stallTimeout{};
    Clock::time_point start{};
    // Until the first frame is decoded: the open's overall deadline.
    Clock::time_point openDeadline = Clock::time_point::max();
    Clock::time_point lastProgress{};
    bool gotData = false;
    const AVFormatContext* format = nullptr;
    std::int64_t lastBytes = 0;

    void progress() {
        gotData = true;
        lastProgress = Clock::now();
    }

    static int interrupt(void* opaque) {
        auto* self = static_cast<IoWatch*>(opaque);
        if (self->stopping->load(std::memory_order_relaxed)) return 1;
        const auto now = Clock::now();
        if (now > self->openDeadline) return 1;
        if (self->format != nullptr && self->format->pb != nullptr &&
            self->format->pb->bytes_read != self->lastBytes) {
            self->lastBytes = self->format->pb->bytes_read;
            self->gotData = true;
            self->lastProgress = now;
        }
        if (!self->gotData) return now - self->start > self->connectTimeout ? 1 : 0;
        return now - self->lastProgress > self->stallTimeout ? 1 : 0;
    }
};

// One connection: the container, its audio decoder and the first decoded frame.
struct Session {
    IoWatch watch;  // declared first: FFmpeg holds its address until the format closes
    FormatPtr format;
    CodecPtr codec;
    int streamIndex = -1;
    FramePtr firstFrame;
    // The resource has a known end (a file, a finished HLS playlist): reaching
    // it ends the stream instead of counting as a drop.
    bool finite = false;
};

std::unique_ptr<Session> openSession(const std::string& url, const FfmpegDecoder::Options& options,
                                     bool allowLocal, const std::atomic<bool>& stopping,
                                     std::string& error) {
    auto session = std::make_unique<Session>();
    IoWatch& watch = session->watch;
    watch.stopping = &stopping;
    watch.connectTimeout = options.connectTimeout;
    watch.stallTimeout = options.stallTimeout;
    watch.start = watch.lastProgress = Clock::now();
    watch.openDeadline = watch.start + options.openTimeout;
    // FFmpeg reports a deadline hit as "Immediate exit requested"; say why.
    const auto failed = [&](std::string step, int rc) {
        if (Clock::now() > watch.openDeadline && !stopping.load()) {
            return step + ": no audio within the open time limit";
        }
        return step + ": " + avError(rc);
    };

    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        error = "avformat_alloc_context: out of memory";
        return nullptr;
    }
    raw->interrupt_callback.callback = &IoWatch::interrupt;
    raw->interrupt_callback.opaque = &watch;
    watch.format = raw;

    AVDictionary* dict = nullptr;
    av_dict_set(&dict, "protocol_whitelist", allowLocal ? kLocalProtocols : kNetworkProtocols, 0);
    // Reconnection is ours, with its own schedule; FFmpeg's would hide drops.
    av_dict_set(&dict, "reconnect", "0", 0);
    int rc = avformat_open_input(&raw, url.c_str(), nullptr, &dict);
    av_dict_free(&dict);
    if (rc < 0) {  // FFmpeg has freed the context
        error = failed("avformat_open_input", rc);
        return nullptr;
    }
    session->format.reset(raw);
    AVFormatContext* format = raw;

    rc = avformat_find_stream_info(format, nullptr);
    if (rc < 0) {
        error = failed("avformat_find_stream_info", rc);
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    rc = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (rc < 0 || decoder == nullptr) {
        error = "av_find_best_stream: no audio stream (" + avError(rc) + ")";
        return nullptr;
    }
    session->streamIndex = rc;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != session->streamIndex) format->streams[i]->discard = AVDISCARD_ALL;
    }

    session->codec.reset(avcodec_alloc_context3(decoder));
    if (!session->codec) {
        error = "avcodec_alloc_context3: out of memory";
        return nullptr;
    }
    AVCodecContext* codec = session->codec.get();
    rc = avcodec_parameters_to_context(codec, format->streams[session->streamIndex]->codecpar);
    if (rc < 0) {
        error = "avcodec_parameters_to_context: " + avError(rc);
        return nullptr;
    }
    codec->thread_count = 1;  // audio decodes far faster than real time on one thread
    rc = avcodec_open2(codec, decoder, nullptr);
    if (rc < 0) {
        error = std::string("avcodec_open2 (") + decoder->name + "): " + avError(rc);
        return nullptr;
    }

    // The first decoded frame tells the rate the stream really plays at (HE-AAC
    // doubles the rate its headers announce).
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        error = "av_packet_alloc: out of memory";
        return nullptr;
    }
    for (int packets = 0; packets < kMaxPacketsBeforeAudio; ++packets) {
        if (IoWatch::interrupt(&watch) != 0) {
            error = failed("decoding the first audio", AVERROR_EXIT);
            return nullptr;
        }
        rc = av_read_frame(format, packet.get());
        if (rc == AVERROR(EAGAIN)) continue;
        if (rc < 0) {
            error = failed("av_read_frame before any audio", rc);
            return nullptr;
        }
        const bool ours = packet->stream_index == session->streamIndex;
        if (ours) rc = avcodec_send_packet(codec, packet.get());
        av_packet_unref(packet.get());
        if (!ours || rc < 0) continue;
        rc = avcodec_receive_frame(codec, frame.get());
        if (rc == 0 && frame->nb_samples > 0 && frame->sample_rate > 0) {
            session->firstFrame = std::move(frame);
            break;
        }
    }
    if (!session->firstFrame) {
        error = "no audio decoded from the first packets";
        return nullptr;
    }
    // The rate sizes the stream buffer; a server must not choose its size.
    if (!isUsableSampleRate(session->firstFrame->sample_rate)) {
        error = "unusable sample rate " + std::to_string(session->firstFrame->sample_rate) + " Hz (accepted: " +
                std::to_string(static_cast<int>(kMinSampleRate)) + " to " +
                std::to_string(static_cast<int>(kMaxSampleRate)) + " Hz)";
        return nullptr;
    }
    watch.openDeadline = Clock::time_point::max();
    const bool seekable = format->pb != nullptr && (format->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0;
    const bool finishedPlaylist =
        std::strcmp(format->iformat->name, "hls") == 0 && format->duration != AV_NOPTS_VALUE;
    session->finite = seekable || finishedPlaylist;
    watch.progress();
    return session;
}

class FfmpegStream final : public AudioStream {
public:
    FfmpegStream(std::string url, const FfmpegDecoder::Options& options, bool network)
        : url_(std::move(url)), options_(options), network_(network) {}

    ~FfmpegStream() override { stop(); }

    // Opens the first connection and starts the network thread; false (with
    // `error` set) when the address cannot be played.
    bool open(int bufferMilliseconds, std::string& error) {
        session_ = openSession(url_, options_, !network_, stopping_, error);
        if (!session_) return false;
        rate_ = session_->firstFrame->sample_rate;
        const int ms = std::max(bufferMilliseconds, kMinBufferMilliseconds);
        const auto frames = (static_cast<std::uint64_t>(rate_) * static_cast<std::uint64_t>(ms) + 999) / 1000;
        capacity_ = static_cast<std::size_t>(frames) * kFrameBytes;
        // Not value-initialised: pages are touched only as audio arrives.
        ring_.reset(new (std::nothrow) std::uint8_t[capacity_]);
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!ring_ || !packet_ || !frame_) {
            error = "out of memory for the stream buffer";
            return false;
        }
        worker_ = std::thread([this] { run(); });
        return true;
    }

    bool sampleRate(float& rate) const override {
        if (rate_ <= 0) return false;
        rate = static_cast<float>(rate_);
        return true;
    }

    std::int32_t pull(void* dst, std::uint32_t length) override {
        const std::lock_guard<std::mutex> oneReader(pullMutex_);
        length = std::min<std::uint32_t>(length, INT32_MAX);
        std::unique_lock<std::mutex> lock(mutex_);
        dataReady_.wait_for(lock, options_.pullWait, [this] { return held_ > 0 || finished_ || stopping_; });
        if (stopping_) return -1;
        if (held_ == 0) return finished_ ? -1 : 0;
        const std::size_t n = std::min<std::size_t>(length, held_);
        if (n == 0) return 0;
        const std::size_t start = readPos_;
        lock.unlock();
        // The writer never touches the `held_` bytes after readPos_, so they are
        // copied without the lock.
        const std::size_t first = std::min(n, capacity_ - start);
        std::memcpy(dst, ring_.get() + start, first);
        std::memcpy(static_cast<std::uint8_t*>(dst) + first, ring_.get(), n - first);
        lock.lock();
        readPos_ = (readPos_ + n) % capacity_;
        held_ -= n;
        lock.unlock();
        spaceReady_.notify_one();
        return static_cast<std::int32_t>(n);
    }

    void stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        dataReady_.notify_all();
        spaceReady_.notify_all();
        const std::lock_guard<std::mutex> lock(joinMutex_);
        if (worker_.joinable()) worker_.join();
    }

private:
    static constexpr std::size_t kFrameBytes = 2 * sizeof(float);
    enum class Outcome { Ended, Dropped, Stopped };

    void run() {
        for (;;) {
            const Outcome outcome = decodeSession();
            const bool finite = session_->finite;
            session_.reset();
            if (outcome == Outcome::Stopped) break;
            if (outcome == Outcome::Ended || finite || !network_ || !options_.reconnect) break;
            if (!reopen()) break;
        }
        session_.reset();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        dataReady_.notify_all();
    }

    // Decodes one connection until it ends, drops or the stream is stopped.
    Outcome decodeSession() {
        AVFormatContext* format = session_->format.get();
        AVCodecContext* codec = session_->codec.get();
        if (!convertFrame(session_->firstFrame.get())) return Outcome::Stopped;
        session_->firstFrame.reset();
        int badPackets = 0;
        for (;;) {
            if (stopping_) return Outcome::Stopped;
            int rc = av_read_frame(format, packet_.get());
            if (rc == AVERROR(EAGAIN)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (rc < 0) {
                if (stopping_) return Outcome::Stopped;
                // Whatever the decoder and the resampler still hold is audio too.
                avcodec_send_packet(codec, nullptr);
                if (!drainDecoder(codec)) return Outcome::Stopped;
                if (!flushResampler()) return Outcome::Stopped;
                return rc == AVERROR_EOF && (session_->finite || !network_) ? Outcome::Ended : Outcome::Dropped;
            }
            if (packet_->stream_index != session_->streamIndex) {
                av_packet_unref(packet_.get());
                continue;
            }
            session_->watch.progress();
            rc = avcodec_send_packet(codec, packet_.get());
            av_packet_unref(packet_.get());
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                // Damaged data is skipped; a stream of nothing else is broken.
                if (++badPackets > kMaxBadPacketsInRow) return network_ ? Outcome::Dropped : Outcome::Ended;
                continue;
            }
            badPackets = 0;
            if (!drainDecoder(codec)) return Outcome::Stopped;
        }
    }

    // Hands every frame the decoder has ready to the resampler; false when stopped.
    bool drainDecoder(AVCodecContext* codec) {
        while (avcodec_receive_frame(codec, frame_.get()) == 0) {
            const bool ok = convertFrame(frame_.get());
            av_frame_unref(frame_.get());
            if (!ok) return false;
        }
        return true;
    }

    // Converts one frame to float stereo at the first rate and buffers it.
    // A change of layout, format or rate gets a new resampler. False when stopped.
    bool convertFrame(const AVFrame* frame) {
        if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return true;
        if (!swr_ || frame->format != inFormat_ || frame->sample_rate != inRate_ ||
            av_channel_layout_compare(&frame->ch_layout, &inLayout_.value) != 0) {
            if (!flushResampler()) return false;
            if (!makeResampler(frame)) return true;  // a frame no resampler takes is skipped
        }
        const int room = swr_get_out_samples(swr_.get(), frame->nb_samples);
        if (room <= 0) return true;
        converted_.resize(static_cast<std::size_t>(room) * 2);
        auto* out = reinterpret_cast<std::uint8_t*>(converted_.data());
        const int made = swr_convert(swr_.get(), &out, room, const_cast<const std::uint8_t**>(frame->extended_data),
                                     frame->nb_samples);
        if (made <= 0) return true;
        return write(converted_.data(), static_cast<std::size_t>(made) * kFrameBytes);
    }

    bool makeResampler(const AVFrame* frame) {
        Layout in;
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
            av_channel_layout_default(&in.value, std::max(frame->ch_layout.nb_channels, 1));
        } else if (av_channel_layout_copy(&in.value, &frame->ch_layout) < 0) {
            return false;
        }
        AVChannelLayout out = AV_CHANNEL_LAYOUT_STEREO;
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_FLT, rate_, &in.value,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0) {
            return false;
        }
        SwrPtr swr(raw);
        if (in.value.nb_channels == 1) {
            // Mono is the same signal on both sides, at full level (the default
            // matrix would lower it by 3 dB).
            const double both[2] = {1.0, 1.0};
            if (swr_set_matrix(swr.get(), both, 1) < 0) return false;
        }
        if (swr_init(swr.get()) < 0) return false;
        swr_ = std::move(swr);
        inFormat_ = frame->format;
        inRate_ = frame->sample_rate;
        av_channel_layout_uninit(&inLayout_.value);
        av_channel_layout_copy(&inLayout_.value, &frame->ch_layout);
        return true;
    }

    // Buffers the tail the resampler holds back and forgets it.
    bool flushResampler() {
        if (!swr_) return true;
        const int room = swr_get_out_samples(swr_.get(), 0);
        bool ok = true;
        if (room > 0) {
            converted_.resize(static_cast<std::size_t>(room) * 2);
            auto* out = reinterpret_cast<std::uint8_t*>(converted_.data());
            const int made = swr_convert(swr_.get(), &out, room, nullptr, 0);
            if (made > 0) ok = write(converted_.data(), static_cast<std::size_t>(made) * kFrameBytes);
        }
        swr_.reset();
        return ok;
    }

    // Appends to the ring, waiting while it is full (a local file decodes far
    // faster than it is pulled). False when the stream is stopped.
    bool write(const void* data, std::size_t bytes) {
        const auto* src = static_cast<const std::uint8_t*>(data);
        bool waited = false;
        while (bytes > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (held_ == capacity_) waited = true;
            spaceReady_.wait(lock, [this] { return held_ < capacity_ || stopping_; });
            if (stopping_) return false;
            const std::size_t writePos = (readPos_ + held_) % capacity_;
            const std::size_t n = std::min({bytes, capacity_ - held_, capacity_ - writePos});
            lock.unlock();
            std::memcpy(ring_.get() + writePos, src, n);
            lock.lock();
            held_ += n;
            lock.unlock();
            dataReady_.notify_one();
            src += n;
            bytes -= n;
        }
        // Time spent waiting for room is not a network stall.
        if (waited && session_) session_->watch.progress();
        return true;
    }

    // Reconnects with pauses that double from the first retry delay, until the
    // retry budget is spent. False when it gave up or the stream was stopped.
    bool reopen() {
        const auto dropped = Clock::now();
        auto delay = std::chrono::duration_cast<Clock::duration>(options_.firstRetryDelay);
        for (;;) {
            if (Clock::now() + delay - dropped > options_.retryBudget) return false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (spaceReady_.wait_for(lock, delay, [this] { return stopping_.load(); })) return false;
            }
            std::string error;
            session_ = openSession(url_, options_, !network_, stopping_, error);
            if (session_) return true;
            if (stopping_) return false;
            delay *= 2;
        }
    }

    const std::string url_;
    const FfmpegDecoder::Options options_;
    const bool network_;
    int rate_ = 0;

    std::atomic<bool> stopping_{false};
    std::mutex joinMutex_;
    std::mutex pullMutex_;

    // The ring of float stereo frames between the network thread and pull().
    std::mutex mutex_;
    std::condition_variable dataReady_;
    std::condition_variable spaceReady_;  // also wakes the pauses between retries on stop
    std::unique_ptr<std::uint8_t[]> ring_;
    std::size_t capacity_ = 0;
    std::size_t readPos_ = 0;  // guarded by mutex_
    std::size_t held_ = 0;     // guarded by mutex_
    bool finished_ = false;    // guarded by mutex_: the network thread is done

    // Owned by the network thread once it runs.
    std::unique_ptr<Session> session_;
    PacketPtr packet_;
    FramePtr frame_;
    SwrPtr swr_;
    int inFormat_ = -1;
    int inRate_ = 0;
    Layout inLayout_;
    std::vector<float> converted_;

    std::thread worker_;
};

}  // namespace

FfmpegDecoder::FfmpegDecoder() : FfmpegDecoder(Options{}) {}

FfmpegDecoder::FfmpegDecoder(const Options& options) : options_(options) { quietLibrariesOnce(); }

void FfmpegDecoder::setNetBufferMilliseconds(int milliseconds) { netBufferMilliseconds_ = milliseconds; }

std::unique_ptr<AudioStream> FfmpegDecoder::openUrl(const std::string& url) {
    lastError_.clear();
    const std::string scheme = lowerScheme(url);
    const bool network = isNetworkScheme(scheme);
    const bool local = options_.allowLocalFiles && !url.empty() && (scheme.empty() || scheme == "file");
    if (!network && !local) {
        lastError_ = "address refused: only http and https stations are played (" + url + ")";
        return nullptr;
    }
    auto stream = std::make_unique<FfmpegStream>(url, options_, network);
    if (!stream->open(netBufferMilliseconds_, lastError_)) return nullptr;
    return stream;
}

}  // namespace quenda::platform
