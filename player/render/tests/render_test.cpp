// quenda-render as a user runs it: over a WAV file, over the same signal
// served by a real Icecast server, and with inputs and outputs it must refuse.
#include <gtest/gtest.h>

#include <ostream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/sinc_kernel.h"
#include "pipeline_support.h"
#include "test_support.h"

namespace quenda::test {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kFrames = 132300;  // 3 s at 44.1 kHz

using platform::test::IcecastServer;
using platform::test::readFile;
using platform::test::TempDir;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command; its exit status (or 128 + signal).
int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// A WAV of 16-bit pink noise, whose decoded frames are the sample values / 32768.
void MakeInput(const std::string& path)
{
    ASSERT_EQ(Shell("ffmpeg -loglevel error -y -f lavfi -i anoisesrc=d=3:c=pink:r=44100:a=0.3:seed=7 -ac 2 "
                    "-ar 44100 -c:a pcm_s16le " + Quote(path)),
              0);
}

struct Render {
    int status;
    std::string errors;
};

Render RunRender(const TempDir& dir, const std::string& args, const std::string& prefix = "")
{
    const std::string err = dir.file("stderr.txt");
    const int status = Shell(prefix + Quote(QUENDA_RENDER) + " " + args + " 2> " + Quote(err));
    return {status, readFile(err)};
}

std::uint32_t U32(const std::string& s, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

// Checks the header of a rendered file and returns its frames.
std::vector<float> ReadRendered(const std::string& path)
{
    const std::string wav = readFile(path);
    EXPECT_GE(wav.size(), 58u);
    if (wav.size() < 58) return {};
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(U32(wav, 4), wav.size() - 8);
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(U32(wav, 20) & 0xffff, 3u);     // IEEE float
    EXPECT_EQ(U32(wav, 20) >> 16, 2u);        // stereo
    EXPECT_EQ(U32(wav, 24), 88200u);          // twice the input's rate
    EXPECT_EQ(U32(wav, 32) >> 16, 32u);       // bits
    EXPECT_EQ(wav.substr(50, 4), "data");
    EXPECT_EQ(U32(wav, 54), wav.size() - 58);
    EXPECT_EQ(U32(wav, 46), (wav.size() - 58) / 8);  // fact: frames
    std::vector<float> frames((wav.size() - 58) / 4);
    std::memcpy(frames.data(), wav.data() + 58, frames.size() * 4);
    return frames;
}

// The frames of a 16-bit stereo WAV as the decoder gives them.
std::vector<float> DecodeInput(const std::string& path)
{
    const std::string wav = readFile(path);
    const std::size_t data = wav.find("data") + 8;
    std::vector<float> out((wav.size() - data) / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::int16_t v;
        std::memcpy(&v, wav.data() + data + 2 * i, 2);
        out[i] = static_cast<float>(v) / 32768.0f;
    }
    return out;
}

// 3 s of input make one block; the file holds its output up to the two frames
// of the last input frame, exactly as the chain computes it with N = 256.
TEST(RenderTest, RendersWavFileThroughTheChain)
{
    TempDir dir;
    MakeInput(dir.file("in.wav"));
    const Render r = RunRender(dir, Quote(dir.file("in.wav")) + " " + Quote(dir.file("out.wav")));
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_NE(r.errors.find(": 1 block,"), std::string::npos) << r.errors;

    const std::vector<float> input = DecodeInput(dir.file("in.wav"));
    ASSERT_EQ(static_cast<std::int64_t>(input.size()), 2 * kFrames);
    const std::vector<float> out = ReadRendered(dir.file("out.wav"));
    ASSERT_EQ(static_cast<std::int64_t>(out.size()), 2 * 2 * (kOverlapFrames + kFrames));
    std::vector<double> kernel(513);
    BuildSincKernel(256, kernel.data());
    const std::vector<float> block = ReferenceBlock(input, 0, kernel);
    EXPECT_EQ(std::memcmp(out.data(), block.data(), out.size() * 4), 0);
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << "temporary file left";
    }
}

std::string Status(int port)
{
    const std::string out = "/tmp/quenda-render-status-" + std::to_string(port);
    Shell("curl -s -m 2 http://127.0.0.1:" + std::to_string(port) + "/status-json.xsl > " + out);
    std::string s = readFile(out);
    std::remove(out.c_str());
    return s;
}

template <class Condition>
bool Within(int seconds, Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// The same signal, encoded losslessly and served by Icecast, renders to the
// same file as the WAV itself. The server bursts everything it holds to a new
// listener, so the renderer gets the stream from its first frame; it ends
// when the source leaves and the server closes the stream.
TEST(RenderTest, IcecastStreamRendersLikeTheFile)
{
    if (Shell("command -v icecast2 >/dev/null && command -v curl >/dev/null") != 0) {
        GTEST_SKIP() << "icecast2 or curl missing";
    }
    TempDir dir;
    MakeInput(dir.file("in.wav"));
    // The server holds the whole stream for a listener and bursts all of it at once.
    IcecastServer::Options options;
    options.clients = 4;
    options.sources = 2;
    options.queueSize = 8388608;
    options.burstSize = 8388608;
    options.sourceTimeoutSeconds = 30;
    options.password = "pw";
    IcecastServer icecast(options);
    ASSERT_TRUE(icecast.ready()) << "no Icecast: " << icecast.diagnostics();
    const int port = icecast.port();

    // The source: the whole signal as Ogg FLAC, sent at once over a source
    // connection that stays open until the renderer has listened a while, so
    // the server bursts all of it and then closes the stream.
    ASSERT_EQ(Shell("ffmpeg -loglevel error -y -i " + Quote(dir.file("in.wav")) + " -c:a flac -f ogg " +
                    Quote(dir.file("in.ogg"))),
              0);
    const std::string ogg = readFile(dir.file("in.ogg"));
    const int source = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(connect(source, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string put = "PUT /test.ogg HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic c291cmNlOnB3\r\n"
                            "Content-Type: application/ogg\r\nIce-Public: 0\r\n\r\n";
    ASSERT_EQ(send(source, put.data(), put.size(), MSG_NOSIGNAL), static_cast<ssize_t>(put.size()));
    char reply[256] = {};
    ASSERT_GT(recv(source, reply, sizeof reply - 1, 0), 0);
    ASSERT_NE(std::string(reply).find(" 200"), std::string::npos) << reply;
    ASSERT_EQ(send(source, ogg.data(), ogg.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ogg.size()));
    ASSERT_TRUE(Within(20, [&] { return Status(port).find("\"listeners\":0") != std::string::npos; }))
        << "no source";

    std::thread closer([&] {
        Within(60, [&] { return Status(port).find("\"listeners\":1") != std::string::npos; });
        std::this_thread::sleep_for(std::chrono::seconds(2));
        close(source);  // the source leaves, and the server ends the stream
    });
    const std::string mount = icecast.listenUrl("/test.ogg");
    const Render fromStream = RunRender(dir, Quote(mount) + " " + Quote(dir.file("stream.wav")));
    closer.join();
    ASSERT_EQ(fromStream.status, 0) << fromStream.errors;
    const Render fromFile = RunRender(dir, Quote(dir.file("in.wav")) + " " + Quote(dir.file("file.wav")));
    ASSERT_EQ(fromFile.status, 0) << fromFile.errors;
    const std::string a = readFile(dir.file("file.wav"));
    EXPECT_EQ(a.size(), 58 + 16 * static_cast<std::size_t>(kOverlapFrames + kFrames));
    EXPECT_TRUE(a == readFile(dir.file("stream.wav"))) << "the stream's render differs from the file's";
}

struct RefusalCase {
    const char* name;
    std::string args;    // with IN, OUT and DIR standing for the paths
    std::string prefix;  // shell commands before the renderer
    int status;
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

// Every refusal is one line on standard error and a non-zero status, and no
// file is left behind, complete-looking or not.
TEST_P(RefusalTest, FailsClearlyAndLeavesNoFile)
{
    TempDir dir;
    MakeInput(dir.file("in.wav"));
    std::ofstream(dir.file("junk.wav")) << std::string(100000, 'x');
    auto expand = [&](std::string s) {
        for (const auto& [key, value] : {std::pair{std::string("IN"), Quote(dir.file("in.wav"))},
                                         std::pair{std::string("JUNK"), Quote(dir.file("junk.wav"))},
                                         std::pair{std::string("OUT"), Quote(dir.file("out.wav"))},
                                         std::pair{std::string("DIR"), Quote(dir.path())}}) {
            for (std::size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
        }
        return s;
    };
    const Render r = RunRender(dir, expand(GetParam().args), expand(GetParam().prefix));
    EXPECT_EQ(r.status, GetParam().status) << r.errors;
    EXPECT_EQ(r.errors.rfind("quenda-render: ", 0), 0u) << r.errors;
    EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "in.wav" || name == "junk.wav" || name == "stderr.txt") << name << " left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusalTest,
    ::testing::Values(RefusalCase{"MissingInput", "DIR/none.wav OUT", "", 1},
                      RefusalCase{"UndecodableInput", "JUNK OUT", "", 1},
                      RefusalCase{"HalfLengthNotOffered", "--half-length 300 IN OUT", "", 2},
                      RefusalCase{"OutputFolderMissing", "IN DIR/no/out.wav", "", 1},
                      // A file size limit stands in for a full disk: writes fail with EFBIG.
                      RefusalCase{"DiskFull", "IN OUT", "ulimit -f 200; ", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A disk that is full before the header is written: the temporary file goes
// too. With a size limit of 0 no file could take the message, so it and the
// status go through a pipe. SIGXFSZ is ignored before the program starts, as a
// sanitizer's runtime may write before main() ignores it.
TEST(Render, DiskFullAtTheHeaderLeavesNoFile)
{
    TempDir dir;
    MakeInput(dir.file("in.wav"));
    Shell("( ulimit -f 0; trap '' XFSZ; " + Quote(QUENDA_RENDER) + " " + Quote(dir.file("in.wav")) + " " +
          Quote(dir.file("out.wav")) + " 2>&1 >/dev/null; echo \"status $?\" ) | cat > " + Quote(dir.file("log.txt")));
    const std::string log = readFile(dir.file("log.txt"));
    EXPECT_EQ(log.rfind("quenda-render: ", 0), 0u) << log;
    EXPECT_NE(log.find("\nstatus 1\n"), std::string::npos) << log;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "in.wav" || name == "log.txt") << name << " left behind";
    }
}

}  // namespace
}  // namespace quenda::test
