// A small HTTP server on 127.0.0.1 (ephemeral port) for the updater's tests. It runs on its own
// threads with blocking sockets, so it keeps answering while the GUI thread blocks in a nested
// event loop that ignores socket notifiers.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestServer
{
public:
    enum class Mode {
        Normal,     // status, headers, full body
        Drop,       // announces the full length, sends `dropAfter` body bytes, closes
        Stall,      // reads the request and never answers
        StallBody,  // sends headers and `dropAfter` body bytes, then goes silent
        Endless,    // no length; sends the body again and again until the client hangs up
    };
    struct Response {
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        Mode mode = Mode::Normal;
        size_t dropAfter = 0;
        int delayMs = 0;  // pause before answering
        int chunkDelayMs = 0;  // when set, the body goes out in 8 KiB pieces with this pause between
    };

    TestServer();
    ~TestServer();

    void route(const std::string& path, const Response& response);
    static Response ok(const std::string& body) { Response r; r.body = body; return r; }
    static Response status(int code, const std::string& body)
    {
        Response r;
        r.status = code;
        r.body = body;
        return r;
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    std::vector<std::string> requests();  // request lines' paths, in arrival order
    std::vector<std::string> rawRequests();  // whole request heads

private:
    void acceptLoop();
    void serve(int fd);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::map<std::string, Response> routes_;
    std::vector<std::string> paths_;
    std::vector<std::string> heads_;
};
