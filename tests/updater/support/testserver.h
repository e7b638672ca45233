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
        // `mode` applies to this many requests of the route, Normal to the later ones (0: to all).
        int modeRequests = 0;
        // How "Range: bytes=N-" is answered (Ignore: with the whole, as any other request).
        // Honour: as a server that keeps ranges does, with a 206 of the rest (a 416 from the
        // end on), unless an If-Range is neither the ETag nor the Last-Modified among `headers`.
        // Refuse: a 416. FromStart: a 206 of the whole file, from byte 0.
        enum class Ranges { Ignore, Honour, Refuse, FromStart };
        Ranges ranges = Ranges::Ignore;
    };

    TestServer();
    ~TestServer();

    void route(const std::string& path, const Response& response);
    // The n-th request of `path` gets the n-th response; the last one answers every later request.
    void routeSequence(const std::string& path, const std::vector<Response>& responses);
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
    // Body bytes sent for `path` so far, over all its requests (as handed to the socket), and
    // for the request at `index` of rawRequests(). Counted once send() returns: a client may
    // have read them a moment before.
    size_t bodyBytesSent(const std::string& path);
    size_t bodyBytesOfRequest(size_t index);

private:
    void acceptLoop();
    void serve(int fd);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::map<std::string, std::vector<Response>> routes_;
    std::map<std::string, int> served_;
    std::map<std::string, size_t> bodyBytes_;
    std::vector<size_t> requestBytes_;
    std::vector<std::string> paths_;
    std::vector<std::string> heads_;
};
