// A WAV file of 32-bit float stereo written as it comes: a header with
// placeholder sizes, the frames, then the sizes. The file is built under a
// temporary name beside the target and renamed onto it only when complete.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quenda::render {

// A write that failed: the file and the system's reason.
class WriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class WavWriter {
public:
    // Creates the temporary file. Throws WriteError.
    WavWriter(const std::string& path, std::uint32_t rate);
    // Removes the temporary file unless finish() succeeded.
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends interleaved float stereo; `bytes` a multiple of 8. Throws WriteError,
    // also once the data would pass what a WAV file can describe (4 GiB).
    void write(const void* data, std::uint64_t bytes);

    // Writes the final sizes, flushes to disk and renames the file onto its
    // target. Throws WriteError.
    void finish();

    std::uint64_t frames() const { return dataBytes_ / 8; }

private:
    void writeAt(std::uint64_t offset, const void* data, std::uint64_t bytes);
    [[noreturn]] void fail(const std::string& what, int error) const;

    std::string path_;
    std::string tempPath_;
    std::uint32_t rate_ = 0;
    int fd_ = -1;
    std::uint64_t dataBytes_ = 0;
    bool finished_ = false;
};

}  // namespace quenda::render
