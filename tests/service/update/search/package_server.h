#pragma once
// A package server on the loopback interface, in the test process: it answers the download's
// GET with what the case says (a package, a status, a body cut short, a stop raised after some
// bytes), honours a Range request as the case says, and records every request it read.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/transfer_control.h"

namespace search {

// How the server answers a request for the rest of a package (Range: bytes=N-).
enum class RangeAnswer { Honour, Whole, Refuse };

// The answer to the requests of a start: the cut or the stop comes in the first reply that
// carries a body; later replies in the same start send it whole.
struct ServerPlan {
    std::string body;              // the package served (empty with a status)
    int status = 200;              // 200: the package; anything else: that status, a small page
    // Of the body this reply sends, in thousandths: close the connection after that much, or
    // raise the stop after that much and then stay silent (-1: neither).
    int cutPerMille = -1;
    int stopPerMille = -1;
    int killPerMille = -1;  // end the process armed by armKill after that much, then close
    RangeAnswer range = RangeAnswer::Honour;
};

struct SeenRequest {
    std::string path;
    int64_t rangeFrom = -1;  // -1: no Range header
    std::string ifRange;
};

class PackageServer {
public:
    explicit PackageServer(StopSignal& stop);
    ~PackageServer();
    PackageServer(const PackageServer&) = delete;
    PackageServer& operator=(const PackageServer&) = delete;

    bool listening() const { return listener_ != INVALID_SOCKET; }
    uint16_t port() const { return port_; }
    // The plan for the next start; clears the requests seen.
    void plan(const ServerPlan& plan);
    std::vector<SeenRequest> requests();
    // Body bytes written to the sockets in this start.
    int64_t bytesSent();
    // The start has ended: a reply that raised the stop and stalled closes its connection.
    void releaseStalled();
    // The process that a kill in the plan ends (null: none).
    void armKill(HANDLE process);
    bool killed();

    static const char kValidator[];  // the strong ETag every package reply carries

private:
    static DWORD WINAPI acceptLoop(void* self);
    void serve(SOCKET client);

    StopSignal& stop_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    HANDLE thread_ = nullptr;
    HANDLE released_ = nullptr;
    std::mutex lock_;
    ServerPlan plan_;
    bool firstServed_ = false;
    std::vector<SeenRequest> requests_;
    HANDLE victim_ = nullptr;
    bool killed_ = false;
    int64_t sent_ = 0;
};

}  // namespace search
