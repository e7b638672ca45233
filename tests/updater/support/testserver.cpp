#include "testserver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
// Winsock spells a few calls differently; the server's logic is the same on both.
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef _SSIZE_T_DEFINED  // MinGW-w64 has its own, int or 64 bits wide by target
using ssize_t = int;
#endif
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
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = response;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.push_back(path);
        heads_.push_back(head);
        auto it = routes_.find(path);
        if (it != routes_.end()) {
            r = it->second;
            found = true;
        }
    }
    if (!found) r = status(404, "<html>not found</html>");

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
            if (!sendAll(fd, r.body.data() + off, std::min<size_t>(8192, bodyBytes - off))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(r.chunkDelayMs));
        }
    } else {
        sendAll(fd, r.body.data(), bodyBytes);
    }
    if (r.mode == Mode::StallBody) waitUntilStopped();
    shutdown(fd, SHUT_RDWR);
    close(fd);
}
