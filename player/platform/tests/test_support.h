// Shared fixtures of the platform tests: temporary folders, child processes,
// a small HTTP server whose replies each test writes, and signal measures.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
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
