#include "testserver.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
// Winsock spells a few calls differently; the server's logic is the same on both. (MinGW
// declares ssize_t itself, as a 64-bit type for x86_64.)
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#define poll WSAPoll
#define close closesocket
#define SHUT_RDWR SD_BOTH
#define MSG_NOSIGNAL 0
namespace {
struct WinsockUp {
    WinsockUp() { WSADATA d; WSAStartup(MAKEWORD(2, 2), &d); }
} winsockUp;
// One non-blocking send (MSG_DONTWAIT does not exist here); false when the peer is gone.
bool sendSome(int fd, const std::string& body)
{
    u_long on = 1;
    ioctlsocket(fd, FIONBIO, &on);
    const bool ok = send(fd, body.data(), int(body.size()), 0) >= 0 || WSAGetLastError() == WSAEWOULDBLOCK;
    on = 0;
    ioctlsocket(fd, FIONBIO, &on);
    return ok;
}
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
bool sendSome(int fd, const std::string& body)
{
    return send(fd, body.data(), body.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 || errno == EAGAIN;
}
}  // namespace
#endif

namespace {
pollfd pollEntry(int fd, short events)
{
    pollfd p{};
    p.fd = fd;
    p.events = events;
    return p;
}
}  // namespace


TestServer::TestServer()
{
    listenFd_ = static_cast<int>(socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(listenFd_, 16);
    socklen_t len = sizeof(addr);
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread(&TestServer::acceptLoop, this);
}

TestServer::~TestServer()
{
    stopping_ = true;
    acceptThread_.join();
    close(listenFd_);
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
}

void TestServer::route(const std::string& path, const Response& response)
{
    routeSequence(path, {response});
}

void TestServer::routeSequence(const std::string& path, const std::vector<Response>& responses)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = responses;
    served_[path] = 0;
}

std::string TestServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TestServer::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

size_t TestServer::bodyBytesSent(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bodyBytes_[path];
}

size_t TestServer::bodyBytesOfRequest(size_t index)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return index < requestBytes_.size() ? requestBytes_[index] : 0;
}

std::vector<std::string> TestServer::rawRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
}

void TestServer::acceptLoop()
{
    while (!stopping_) {
        pollfd p = pollEntry(listenFd_, POLLIN);
        if (poll(&p, 1, 20) <= 0) continue;
        int fd = static_cast<int>(accept(listenFd_, nullptr, nullptr));
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back(&TestServer::serve, this, fd);
    }
}

namespace {
// The value of header `name` (lower case) in a request head, or "" when it has none.
std::string headerValue(const std::string& head, const std::string& name)
{
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) return std::string();
    size_t start = at + 3 + name.size();
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
}

// A ranged answer to `head` of `r` (see Response::ranges), or `r` as it is.
TestServer::Response rangedAnswer(const std::string& head, TestServer::Response r)
{
    const std::string range = headerValue(head, "range");
    using Ranges = TestServer::Response::Ranges;
    if (r.ranges == Ranges::Ignore || range.compare(0, 6, "bytes=") != 0 || range.back() != '-') return r;
    const std::string ifRange = headerValue(head, "if-range");
    bool current = ifRange.empty();
    for (const auto& h : r.headers) {
        if ((h.first == "ETag" || h.first == "Last-Modified") && h.second == ifRange) current = true;
    }
    if (!current) return r;
    size_t from = size_t(std::strtoull(range.substr(6, range.size() - 7).c_str(), nullptr, 10));
    const size_t length = r.body.size();
    if (r.ranges == Ranges::FromStart) from = 0;
    if (from >= length || r.ranges == Ranges::Refuse) {
        r.status = 416;
        r.headers.push_back({"Content-Range", "bytes */" + std::to_string(length)});
        r.body.clear();
        return r;
    }
    r.status = 206;
    r.headers.push_back({"Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(length - 1) + "/" +
                                              std::to_string(length)});
    r.body = r.body.substr(from);
    r.dropAfter = r.dropAfter > from ? r.dropAfter - from : 0;
    return r;
}

bool sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

void TestServer::serve(int fd)
{
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos && !stopping_) {
        pollfd p = pollEntry(fd, POLLIN);
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
    }
    size_t sp1 = head.find(' ');
    size_t sp2 = head.find(' ', sp1 + 1);
    std::string path = sp1 == std::string::npos ? std::string() : head.substr(sp1 + 1, sp2 - sp1 - 1);
    Response r;
    bool found = false;
    size_t requestIndex = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.push_back(path);
        heads_.push_back(head);
        requestIndex = requestBytes_.size();
        requestBytes_.push_back(0);
        auto it = routes_.find(path);
        if (it != routes_.end() && !it->second.empty()) {
            const int n = served_[path]++;
            r = it->second.at(std::min<size_t>(size_t(n), it->second.size() - 1));
            found = true;
            if (r.modeRequests > 0 && n >= r.modeRequests) r.mode = Mode::Normal;
        }
    }
    if (!found) r = status(404, "<html>not found</html>");
    // A cut (Drop, StallBody) counts from the file's first byte, also in a ranged answer.
    r = rangedAnswer(head, r);
    auto countBody = [&](size_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        bodyBytes_[path] += n;
        requestBytes_[requestIndex] += n;
    };

    auto waitUntilStopped = [this]() {
        while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    if (r.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delayMs));
    if (r.mode == Mode::Stall) {
        waitUntilStopped();
        close(fd);
        return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " X\r\n";
    if (r.mode != Mode::Endless) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    for (const auto& h : r.headers) out += h.first + ": " + h.second + "\r\n";
    out += "\r\n";
    sendAll(fd, out.data(), out.size());
    if (r.mode == Mode::Endless) {
        // Never blocks for long: a client that stops reading cannot keep the server from stopping.
        bool open = !r.body.empty();
        while (open && !stopping_) {
            pollfd p = pollEntry(fd, POLLOUT);
            if (poll(&p, 1, 20) <= 0) continue;
            if (p.revents & (POLLERR | POLLHUP)) break;
            open = sendSome(fd, r.body);
            if (r.chunkDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.chunkDelayMs));
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
        return;
    }
    size_t bodyBytes = (r.mode == Mode::Normal) ? r.body.size() : std::min(r.dropAfter, r.body.size());
    if (r.chunkDelayMs > 0) {
        for (size_t off = 0; off < bodyBytes && !stopping_; off += 8192) {
            const size_t n = std::min<size_t>(8192, bodyBytes - off);
            if (!sendAll(fd, r.body.data() + off, n)) break;
            countBody(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(r.chunkDelayMs));
        }
    } else if (sendAll(fd, r.body.data(), bodyBytes)) {
        countBody(bodyBytes);
    }
    if (r.mode == Mode::StallBody) waitUntilStopped();
    shutdown(fd, SHUT_RDWR);
    close(fd);
}
