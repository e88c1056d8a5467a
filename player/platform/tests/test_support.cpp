#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quenda::platform::test {

TempDir::TempDir() {
    char pattern[] = "/tmp/quenda-platform-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool waitForPort(int port, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath,
                           const std::vector<std::string>& extraEnv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
    for (const auto& e : extraEnv) envStore.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStore) env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::terminate() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill9();
}

void ChildProcess::kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool haveProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

IcecastServer::IcecastServer(Options options) : options_(std::move(options)), port_(freeLoopbackPort()) {
    const std::string log = dir_.file("log");
    mkdir(log.c_str(), 0777);
    chmod(dir_.path().c_str(), 0777);
    chmod(log.c_str(), 0777);
    const bool root = geteuid() == 0;
    const Options& o = options_;
    // The configuration template the local-radio script fills in too.
    std::string config = readFile(QUENDA_ICECAST_TEMPLATE);
    if (config.empty()) throw std::runtime_error("cannot read " + std::string(QUENDA_ICECAST_TEMPLATE));
    const std::pair<std::string, std::string> values[] = {
        {"@CLIENTS@", std::to_string(o.clients)},
        {"@SOURCES@", std::to_string(o.sources)},
        {"@QUEUE_SIZE@", std::to_string(o.queueSize)},
        {"@BURST_SIZE@", std::to_string(o.burstSize)},
        {"@SOURCE_TIMEOUT@", std::to_string(o.sourceTimeoutSeconds)},
        {"@PASSWORD@", o.password},
        {"@PORT@", std::to_string(port_)},
        {"@FILESERVE@", o.fileserve ? "1" : "0"},
        {"@DIR@", dir_.path()},
        {"@OWNER@", root ? "<changeowner><user>nobody</user><group>nogroup</group></changeowner>" : ""},
    };
    for (const auto& [name, value] : values) {
        for (std::size_t at; (at = config.find(name)) != std::string::npos;) config.replace(at, name.size(), value);
    }
    writeFile(dir_.file("icecast.xml"), config);
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"icecast2", "-c", dir_.file("icecast.xml")},
                                              dir_.file("icecast.out"));
    ready_ = waitForPort(port_, 20'000);
}

std::string IcecastServer::sourceUrl(const std::string& mount) const {
    return "icecast://source:" + options_.password + "@127.0.0.1:" + std::to_string(port_) + mount;
}

std::string IcecastServer::listenUrl(const std::string& mount) const {
    return "http://127.0.0.1:" + std::to_string(port_) + mount;
}

std::string IcecastServer::diagnostics() const {
    return readFile(dir_.file("icecast.out")) + readFile(dir_.file("log/error.log"));
}

PulseNullSink::PulseNullSink(const TempDir& dir)
    : dir_(dir),
      process_({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
                "-L", "module-null-sink", "-L",
                "module-native-protocol-unix auth-anonymous=1 socket=" + socketPath(dir)},
               dir.file("pulse.log"),
               {"HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + dir.path(), "PULSE_RUNTIME_PATH=" + dir.file("pulse-run"),
                "PULSE_STATE_PATH=" + dir.file("pulse-state")}) {}

bool PulseNullSink::waitReady() {
    const std::string socket = socketPath(dir_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(socket.c_str(), F_OK) != 0 && process_.running()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return process_.running();
}

std::string PulseNullSink::log() const { return readFile(dir_.file("pulse.log")); }

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 16) != 0) {
        throw std::runtime_error("test HTTP server cannot listen");
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
    stopping_ = true;
    acceptor_.join();
    for (auto& w : workers_) w.join();
    close(listenFd_);
}

std::string HttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpServer::connections(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_[path];
}

void HttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void HttpServer::serve(int fd) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && !stopping_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string path;
    std::istringstream line(request);
    std::string method;
    line >> method >> path;
    int index = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        index = counts_[path]++;
    }
    if (!path.empty()) handler_(Request{fd, path, index, stopping_});
    shutdown(fd, SHUT_WR);
    close(fd);
}

bool HttpServer::send(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool HttpServer::pause(const std::atomic<bool>& stopping, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 10) {
        if (stopping) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stopping;
}

namespace {
void put16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, static_cast<std::uint16_t>(v & 0xffff));
    put16(s, static_cast<std::uint16_t>(v >> 16));
}
}  // namespace

std::string wavHeader(int rate, int channels) {
    std::string h = "RIFF";
    put32(h, 0xffffffffu);
    h += "WAVEfmt ";
    put32(h, 16);
    put16(h, 1);
    put16(h, static_cast<std::uint16_t>(channels));
    put32(h, static_cast<std::uint32_t>(rate));
    put32(h, static_cast<std::uint32_t>(rate * channels * 2));
    put16(h, static_cast<std::uint16_t>(channels * 2));
    put16(h, 16);
    h += "data";
    put32(h, 0xffffffffu);
    return h;
}

std::string rampPcm(std::int64_t first, std::int64_t count, int channels) {
    std::string s;
    s.reserve(static_cast<std::size_t>(count * channels * 2));
    for (std::int64_t n = first; n < first + count; ++n) {
        const auto v = static_cast<std::uint16_t>(n & 0xffff);
        put16(s, v);
        if (channels >= 2) put16(s, static_cast<std::uint16_t>(~v));
        for (int c = 2; c < channels; ++c) put16(s, 0);
    }
    return s;
}

int rampIndex(float left) {
    const auto sample = static_cast<std::int16_t>(std::lround(left * 32768.0f));
    return static_cast<std::uint16_t>(sample);
}

std::string tonePcm(int rate, int channels, double frequency, double amplitude, std::int64_t first,
                    std::int64_t count) {
    std::string s;
    for (std::int64_t n = first; n < first + count; ++n) {
        const double x = amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(n) / rate);
        const auto v = static_cast<std::int16_t>(std::lround(x * 32767.0));
        for (int c = 0; c < channels; ++c) put16(s, static_cast<std::uint16_t>(v));
    }
    return s;
}

double zeroCrossingFrequency(const std::vector<float>& frames, int channel, double rate) {
    const std::size_t count = frames.size() / 2;
    std::size_t first = 0;
    std::size_t last = 0;
    int crossings = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (frames[2 * (i - 1) + channel] < 0 && frames[2 * i + channel] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * rate / static_cast<double>(last - first);
}

double rmsLevel(const std::vector<float>& frames, int channel) {
    const std::size_t count = frames.size() / 2;
    if (count == 0) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += double(frames[2 * i + channel]) * frames[2 * i + channel];
    return std::sqrt(sum / static_cast<double>(count));
}

}  // namespace quenda::platform::test
