#include "pipeline_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "pipeline/biquad.h"
#include "pipeline/fir.h"
#include "pipeline/gain.h"

namespace quenda::test {

std::vector<float> MakeSignal(std::int64_t frames)
{
    std::vector<float> s(static_cast<std::size_t>(2 * frames));
    std::uint32_t x = 0x9e3779b9u;
    for (float& v : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<float>(static_cast<std::int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
    }
    return s;
}

ScriptedSource::ScriptedSource(const std::vector<float>& signal, std::vector<std::uint32_t> pieces)
    : signal_(signal), pieces_(std::move(pieces))
{
}

void ScriptedSource::holdAt(std::int64_t byte)
{
    std::lock_guard lock(mutex_);
    holdAt_ = byte;
}

void ScriptedSource::release()
{
    {
        std::lock_guard lock(mutex_);
        holdAt_ = -1;
    }
    released_.notify_all();
}

std::int32_t ScriptedSource::pull(void* dst, std::uint32_t length)
{
    const auto total = static_cast<std::int64_t>(signal_.size() * sizeof(float));
    std::int64_t pos = position_.load();
    std::int64_t limit = total;
    if (failAt_ >= 0) limit = std::min(limit, failAt_);
    {
        std::unique_lock lock(mutex_);
        if (holdAt_ >= 0 && pos >= holdAt_) {
            released_.wait_for(lock, std::chrono::milliseconds(50));
            if (holdAt_ >= 0 && pos >= holdAt_) return 0;
        }
        if (holdAt_ >= 0) limit = std::min(limit, holdAt_);
    }
    if (pos >= limit) return -1;
    std::int64_t n = std::min<std::int64_t>(length, limit - pos);
    if (!pieces_.empty()) {
        n = std::min<std::int64_t>(n, pieces_[nextPiece_]);
        nextPiece_ = (nextPiece_ + 1) % pieces_.size();
    }
    std::memcpy(dst, reinterpret_cast<const std::byte*>(signal_.data()) + pos, static_cast<std::size_t>(n));
    position_.store(pos + n);
    return static_cast<std::int32_t>(n);
}

std::vector<float> ReferenceBlock(const std::vector<float>& signal, std::int64_t block,
                                  const std::vector<double>& kernel, float rate)
{
    const std::int64_t inFrames = kBlockFrames + kOverlapFrames;
    const auto signalFrames = static_cast<std::int64_t>(signal.size() / 2);
    std::vector<float> in(static_cast<std::size_t>(2 * inFrames), 0.0f);
    for (std::int64_t j = 0; j < inFrames; ++j) {
        const std::int64_t s = block * kBlockFrames - kOverlapFrames + j;
        if (s < 0 || s >= signalFrames) continue;
        in[2 * j] = signal[2 * s];
        in[2 * j + 1] = signal[2 * s + 1];
    }
    ApplyGain(in.data(), inFrames * 8);
    std::vector<float> filtered(static_cast<std::size_t>(2 * kBlockFrames));
    FirConvolve(in.data(), kernel.data(), filtered.data(), kernel.size(), kBlockFrames * 8);
    std::vector<float> out(static_cast<std::size_t>(BlockBufferBytes / 4), 0.0f);
    for (std::int64_t j = 0; j < kBlockFrames; ++j) {
        out[4 * j] = in[2 * j];
        out[4 * j + 1] = in[2 * j + 1];
        out[4 * j + 2] = filtered[2 * j];
        out[4 * j + 3] = filtered[2 * j + 1];
    }
    BiquadParams params{out.data(), BlockBufferBytes, (1.0 * static_cast<double>(rate)) * 2};
    BiquadLowPass(&params);
    out.resize(static_cast<std::size_t>(kPlayBytes / 4));
    return out;
}

ExpectedOutput::ExpectedOutput(const std::vector<float>& signal, std::int64_t blocks,
                               const std::vector<double>& kernel)
{
    for (std::int64_t b = 0; b < blocks; ++b) blocks_.push_back(ReferenceBlock(signal, b, kernel));
}

bool ExpectedOutput::matches(const std::byte* data, std::int64_t offset, std::int64_t length) const
{
    static const std::vector<std::byte> zeros(1 << 20);
    while (length > 0) {
        const std::int64_t unit = offset / kPlayBytes;  // 0: the silent front buffer
        const std::int64_t within = offset % kPlayBytes;
        const std::int64_t n = std::min(length, kPlayBytes - within);
        const auto b = static_cast<std::size_t>(unit - 1);
        if (unit >= 1 && b < blocks_.size()) {
            const auto* ref = reinterpret_cast<const std::byte*>(blocks_[b].data()) + within;
            if (std::memcmp(data, ref, static_cast<std::size_t>(n)) != 0) return false;
        } else {
            for (std::int64_t done = 0; done < n; done += static_cast<std::int64_t>(zeros.size())) {
                const auto m = static_cast<std::size_t>(std::min<std::int64_t>(n - done, zeros.size()));
                if (std::memcmp(data + done, zeros.data(), m) != 0) return false;
            }
        }
        data += n;
        offset += n;
        length -= n;
    }
    return true;
}

void Player::request(std::int64_t length)
{
    buffer_.resize(static_cast<std::size_t>(std::max<std::int64_t>(length, 1)));
    std::memset(buffer_.data(), 0x5a, buffer_.size());  // nothing may be left unwritten
    const std::uint32_t got =
        BlockPipeline::OutputCallback(buffer_.data(), static_cast<std::uint32_t>(length), pipeline_.callbackUser());
    EXPECT_EQ(got, static_cast<std::uint32_t>(length));
}

bool Player::waitReady()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!pipeline_.nextBlockReady() && !pipeline_.streamFinished()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool Player::playChecked(const ExpectedOutput& expected, std::int64_t length, std::int64_t requestLength)
{
    for (std::int64_t done = 0; done < length;) {
        const std::int64_t n = std::min(requestLength, length - done);
        // A request that reaches the end of the playing block, or one made while
        // the output sits at that end, needs the next block.
        const std::int64_t within = played_ % kPlayBytes;
        if ((within + n >= kPlayBytes || (played_ > 0 && within == 0)) && !waitReady()) {
            ADD_FAILURE() << "no block came";
            return false;
        }
        request(n);
        if (!expected.matches(buffer(), played_, n)) {
            ADD_FAILURE() << "mismatch in the request at output byte " << played_;
            return false;
        }
        played_ += n;
        done += n;
    }
    return true;
}

void Player::drain()
{
    const std::int64_t chunk = 8 << 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!(pipeline_.streamFinished() && !pipeline_.nextBlockReady())) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the pump never finished";
            return;
        }
        request(chunk);
        if (!pipeline_.nextBlockReady()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace quenda::test
