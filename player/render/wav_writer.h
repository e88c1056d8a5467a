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
    ~WavWriter() = default;
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

    // The temporary file, removed unless kept: owned from the moment it exists,
    // so that a constructor that throws after creating it leaves nothing behind.
    struct TempFile {
        std::string path;
        bool keep = false;
        TempFile() = default;
        TempFile(const TempFile&) = delete;
        TempFile& operator=(const TempFile&) = delete;
        ~TempFile();
    };
    // A descriptor closed with its owner.
    struct Descriptor {
        int fd = -1;
        Descriptor() = default;
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        ~Descriptor();
    };

    std::string path_;
    std::uint32_t rate_ = 0;
    TempFile temp_;  // declared before fd_: the file is closed, then removed
    Descriptor fd_;
    std::uint64_t dataBytes_ = 0;
};

}  // namespace quenda::render
