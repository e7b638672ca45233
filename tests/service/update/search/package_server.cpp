// The loopback package server of the cycle search.
#include "package_server.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace search {

const char PackageServer::kValidator[] = "\"search-v1\"";

namespace {

// The request head up to its blank line; empty when the client closed first.
std::string readHead(SOCKET client) {
    std::string head;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        const int got = recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0) return std::string();
        head.append(buffer, got);
    }
    return head;
}

// The value of a header (case-insensitive name), empty when absent.
std::string header(const std::string& head, const std::string& name) {
    const std::string wanted = "\r\n" + name + ":";
    for (size_t at = 0; (at = head.find("\r\n", at)) != std::string::npos; at += 2) {
        if (_strnicmp(head.c_str() + at, wanted.c_str(), wanted.size()) != 0) continue;
        size_t from = at + wanted.size();
        while (from < head.size() && head[from] == ' ') ++from;
        return head.substr(from, head.find("\r\n", from) - from);
    }
    return std::string();
}

bool sendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        const int put = send(s, data, chunk, 0);
        if (put <= 0) return false;
        data += put;
        size -= put;
    }
    return true;
}

}  // namespace

PackageServer::PackageServer(StopSignal& stop)
    : stop_(stop), released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (listener_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = CreateThread(nullptr, 0, acceptLoop, this, 0, nullptr);
}

PackageServer::~PackageServer() {
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (thread_) {
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
    }
    if (released_) CloseHandle(released_);
    WSACleanup();
}

void PackageServer::plan(const ServerPlan& plan) {
    std::lock_guard<std::mutex> hold(lock_);
    plan_ = plan;
    ResetEvent(released_);
    firstServed_ = false;
    requests_.clear();
    sent_ = 0;
}

std::vector<SeenRequest> PackageServer::requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void PackageServer::releaseStalled() { SetEvent(released_); }

void PackageServer::armKill(HANDLE process) {
    std::lock_guard<std::mutex> hold(lock_);
    victim_ = process;
    if (process) killed_ = false;
}

bool PackageServer::killed() {
    std::lock_guard<std::mutex> hold(lock_);
    return killed_;
}

int64_t PackageServer::bytesSent() {
    std::lock_guard<std::mutex> hold(lock_);
    return sent_;
}

DWORD WINAPI PackageServer::acceptLoop(void* self) {
    auto* server = static_cast<PackageServer*>(self);
    for (;;) {
        SOCKET client = accept(server->listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return 0;  // the listener was closed
        server->serve(client);
        closesocket(client);
    }
}

void PackageServer::serve(SOCKET client) {
    const std::string head = readHead(client);
    if (head.empty()) return;
    SeenRequest seen;
    const size_t pathStart = head.find(' ') + 1;
    seen.path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
    const std::string range = header(head, "Range");
    if (range.rfind("bytes=", 0) == 0) seen.rangeFrom = std::atoll(range.c_str() + 6);
    seen.ifRange = header(head, "If-Range");
    ServerPlan plan;
    bool first = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(seen);
        plan = plan_;
        first = !firstServed_;
    }
    if (!first) plan.cutPerMille = plan.stopPerMille = plan.killPerMille = -1;

    if (plan.status != 200) {
        const std::string page = "<html><body>" + std::to_string(plan.status) + "</body></html>";
        const std::string reply = "HTTP/1.1 " + std::to_string(plan.status) +
                                  " Refused\r\nContent-Length: " + std::to_string(page.size()) +
                                  "\r\nConnection: close\r\n\r\n" + page;
        sendAll(client, reply.data(), reply.size());
        return;
    }
    const int64_t size = static_cast<int64_t>(plan.body.size());
    int64_t from = 0;
    std::string reply;
    const bool resumable = seen.rangeFrom >= 0 && seen.rangeFrom < size &&
                           (seen.ifRange.empty() || seen.ifRange == kValidator);
    if (seen.rangeFrom >= 0 && plan.range == RangeAnswer::Refuse) {
        reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                std::to_string(size) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(client, reply.data(), reply.size());
        return;
    }
    if (resumable && plan.range == RangeAnswer::Honour) {
        from = seen.rangeFrom;
        reply = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                "-" + std::to_string(size - 1) + "/" + std::to_string(size) + "\r\n";
    } else {
        reply = "HTTP/1.1 200 OK\r\n";
    }
    reply += "ETag: " + std::string(kValidator) + "\r\nContent-Length: " +
             std::to_string(size - from) + "\r\nConnection: close\r\n\r\n";
    {
        std::lock_guard<std::mutex> hold(lock_);
        firstServed_ = true;
    }
    if (!sendAll(client, reply.data(), reply.size())) return;
    int64_t end = size;
    const int perMille = plan.cutPerMille >= 0    ? plan.cutPerMille
                         : plan.stopPerMille >= 0 ? plan.stopPerMille
                                                  : plan.killPerMille;
    if (perMille >= 0) end = from + (size - from) * perMille / 1000;
    const bool ok = sendAll(client, plan.body.data() + from, static_cast<size_t>(end - from));
    {
        std::lock_guard<std::mutex> hold(lock_);
        sent_ += end - from;
    }
    if (ok && plan.killPerMille >= 0 && end < size) {
        std::lock_guard<std::mutex> hold(lock_);
        if (victim_) {
            TerminateProcess(victim_, 9);
            WaitForSingleObject(victim_, 30000);
            killed_ = true;
        }
        return;
    }
    if (!ok || plan.stopPerMille < 0 || end == size) return;
    // The stop comes while the rest is awaited: the server stays silent until the start has
    // ended (the download gave the connection up at the stop), then closes.
    stop_.request();
    WaitForSingleObject(released_, 60000);
}

}  // namespace search
