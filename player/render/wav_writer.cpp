#include "wav_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <array>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quenda::render {

namespace {

// RIFF header, IEEE float format chunk (18 bytes, no extension), fact chunk
// with the frame count, then the data chunk's header.
constexpr std::uint64_t kHeaderBytes = 12 + 8 + 18 + 8 + 4 + 8;
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

// Little-endian fields into a fixed header.
class HeaderBytes {
public:
    void tag(const char* t) { for (int i = 0; i < 4; ++i) bytes[at++] = static_cast<unsigned char>(t[i]); }
    void u16(std::uint32_t v)
    {
        bytes[at++] = static_cast<unsigned char>(v & 0xff);
        bytes[at++] = static_cast<unsigned char>((v >> 8) & 0xff);
    }
    void u32(std::uint32_t v)
    {
        u16(v & 0xffff);
        u16(v >> 16);
    }
    std::array<unsigned char, kHeaderBytes> bytes{};
    std::size_t at = 0;
};

std::array<unsigned char, kHeaderBytes> Header(std::uint32_t rate, std::uint64_t dataBytes)
{
    const std::uint32_t channels = 2;
    const std::uint32_t bits = 32;
    HeaderBytes h;
    h.tag("RIFF");
    h.u32(static_cast<std::uint32_t>(kHeaderBytes - 8 + dataBytes));
    h.tag("WAVE");
    h.tag("fmt ");
    h.u32(18);
    h.u16(3);  // IEEE float
    h.u16(channels);
    h.u32(rate);
    h.u32(rate * channels * bits / 8);
    h.u16(channels * bits / 8);
    h.u16(bits);
    h.u16(0);
    h.tag("fact");
    h.u32(4);
    h.u32(static_cast<std::uint32_t>(dataBytes / 8));
    h.tag("data");
    h.u32(static_cast<std::uint32_t>(dataBytes));
    return h.bytes;
}

}  // namespace

WavWriter::TempFile::~TempFile()
{
    if (!keep && !path.empty()) ::unlink(path.c_str());
}

WavWriter::Descriptor::~Descriptor()
{
    if (fd >= 0) ::close(fd);
}

WavWriter::WavWriter(const std::string& path, std::uint32_t rate) : path_(path), rate_(rate)
{
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".part-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    fd_.fd = mkstemp(name.data());
    if (fd_.fd < 0) fail("cannot create a file beside", errno);
    temp_.path = name.data();
    const mode_t mask = ::umask(0);  // a plain new file's mode, not mkstemp's private one
    ::umask(mask);
    ::fchmod(fd_.fd, 0666 & ~mask);
    const auto header = Header(rate, 0);
    writeAt(0, header.data(), header.size());
}

void WavWriter::fail(const std::string& what, int error) const
{
    throw WriteError(what + " " + path_ + ": " + std::strerror(error));
}

void WavWriter::writeAt(std::uint64_t offset, const void* data, std::uint64_t bytes)
{
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = ::pwrite(fd_.fd, p, bytes, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", errno);
        }
        if (n == 0) fail("cannot write", ENOSPC);
        p += n;
        offset += static_cast<std::uint64_t>(n);
        bytes -= static_cast<std::uint64_t>(n);
    }
}

void WavWriter::write(const void* data, std::uint64_t bytes)
{
    if (dataBytes_ + bytes > kMaxDataBytes) fail("the audio passes the 4 GiB a WAV file can hold, for", EFBIG);
    writeAt(kHeaderBytes + dataBytes_, data, bytes);
    dataBytes_ += bytes;
}

void WavWriter::finish()
{
    const auto header = Header(rate_, dataBytes_);
    writeAt(0, header.data(), header.size());
    if (::fsync(fd_.fd) != 0) fail("cannot write", errno);
    const int fd = fd_.fd;
    fd_.fd = -1;
    if (::close(fd) != 0) fail("cannot write", errno);
    if (std::rename(temp_.path.c_str(), path_.c_str()) != 0) fail("cannot rename the finished file onto", errno);
    temp_.keep = true;
}

}  // namespace quenda::render
