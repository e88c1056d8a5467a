// Shared fixtures of the platform tests (and of the renderer's): temporary
// folders, child processes, a small HTTP server whose replies each test writes,
// a real Icecast server, a PulseAudio null sink, and signal measures.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace quenda::platform::test {

// A folder under /tmp removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

// A loopback TCP port nobody listens on right now.
int freeLoopbackPort();
// Waits until something accepts connections on the loopback port.
bool waitForPort(int port, int timeoutMs);

// A program started by a test, ended (SIGTERM, then SIGKILL) at destruction.
// Its output goes to `logPath`.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logPath,
                 const std::vector<std::string>& extraEnv = {});
    ~ChildProcess() { terminate(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool started() const { return pid_ > 0; }
    bool running();
    void terminate();
    void kill9();

private:
    pid_t pid_ = -1;
};

// Whether a program is on PATH.
bool haveProgram(const std::string& name);

// An Icecast 2 server on a free loopback port with a configuration of its own,
// in a folder of its own; ready() once it accepts connections, ended at
// destruction. Icecast refuses to run as root unless it may drop to another
// user, so as root it runs as nobody, and its folder is open to that user.
class IcecastServer {
public:
    struct Options {
        int clients = 50;
        int sources = 20;
        // What the server holds for each listener that falls behind, and what a
        // new listener is sent at once.
        std::size_t queueSize = 1 << 20;
        std::size_t burstSize = 65536;
        int sourceTimeoutSeconds = 10;
        std::string password = "quenda-source";  // the source's and the admin's
        // Whether the server serves files from its web root (Icecast's own
        // default). Icecast 2.4 has crashed with it off when a listener asked
        // for a mount not yet on the air, so only callers that need it off say so.
        bool fileserve = true;
    };

    IcecastServer() : IcecastServer(Options{}) {}
    explicit IcecastServer(Options options);
    IcecastServer(const IcecastServer&) = delete;
    IcecastServer& operator=(const IcecastServer&) = delete;

    bool ready() const { return ready_; }
    int port() const { return port_; }
    const std::string& password() const { return options_.password; }
    std::string sourceUrl(const std::string& mount) const;
    std::string listenUrl(const std::string& mount) const;
    // The server's output and error log, for failure messages.
    std::string diagnostics() const;
    const TempDir& dir() const { return dir_; }

private:
    Options options_;
    TempDir dir_;
    int port_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// A PulseAudio server with a null sink (a sound card that takes audio at its
// real pace and plays it nowhere) on the private socket `socketPath()` in
// `dir`, which also holds its home, state and log. Ended at destruction.
class PulseNullSink {
public:
    explicit PulseNullSink(const TempDir& dir);
    PulseNullSink(const PulseNullSink&) = delete;
    PulseNullSink& operator=(const PulseNullSink&) = delete;

    static std::string socketPath(const TempDir& dir) { return dir.file("pulse.socket"); }
    // Waits until the socket is there; false if the server ended first or took too long.
    bool waitReady();
    std::string log() const;
    // Ends the server at once, as a sound server that goes away.
    void kill() { process_.kill9(); }

private:
    const TempDir& dir_;
    ChildProcess process_;
};

// A tiny HTTP/1.0 server on loopback. Every connection gets a thread that reads
// the request and hands the socket to the handler; the handler writes the whole
// reply and must return soon after `stopping` is set.
class HttpServer {
public:
    struct Request {
        int fd;
        std::string path;
        int connection;  // 0 for the first request of this path, then 1, 2, ...
        const std::atomic<bool>& stopping;
    };
    using Handler = std::function<void(const Request&)>;

    explicit HttpServer(Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    int connections(const std::string& path);

    // Helpers for handlers. False once the peer is gone.
    static bool send(int fd, const void* data, std::size_t size);
    static bool send(int fd, const std::string& text) { return send(fd, text.data(), text.size()); }
    // Sleeps, returning early (false) once the server stops.
    static bool pause(const std::atomic<bool>& stopping, int milliseconds);

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::map<std::string, int> counts_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A RIFF/WAVE header for 16-bit PCM whose sizes say "unknown" (a live stream).
std::string wavHeader(int rate, int channels);
// Frames [first, first + count) of the counting signal: left = frame number
// modulo 2^16 as a signed 16-bit sample, right = its bitwise complement; with
// one channel only the left, with more the rest silent.
std::string rampPcm(std::int64_t first, std::int64_t count, int channels);
// The frame number (mod 2^16) a decoded left sample of the counting signal carries.
int rampIndex(float left);
// `count` frames of a sine of `frequency` Hz at `amplitude`, 16-bit, every channel alike.
std::string tonePcm(int rate, int channels, double frequency, double amplitude, std::int64_t first,
                    std::int64_t count);

// Frequency by rising zero crossings, and root-mean-square level, of one
// channel (0 left, 1 right) of interleaved stereo float frames.
double zeroCrossingFrequency(const std::vector<float>& frames, int channel, double rate);
double rmsLevel(const std::vector<float>& frames, int channel);

}  // namespace quenda::platform::test
