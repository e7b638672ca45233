// The package transfer against a server on loopback port 80 inside the private network
// namespace (ctest runs these through tests/harness/in-netns as service_download_transfer; in
// the plain service_download run they skip): a body that ends before its Content-Length is
// never a complete package, whatever else the reply says. And which packages may resume.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "download/package_transfer.h"
#include "support/log_capture.h"

namespace {

using testsupport::LogCapture;

bool inPrivateNetwork() {
    wchar_t value[8] = {};
    return GetEnvironmentVariableW(L"VEXTRA_IN_NETNS", value, 8) == 1 && value[0] == L'1';
}

// Answers one request on 127.0.0.1:80 with the given bytes, then closes the connection.
class OneReplyServer {
public:
    explicit OneReplyServer(std::string reply) : reply_(std::move(reply)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL yes = TRUE;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(80);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = listener_ != INVALID_SOCKET &&
                     bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     listen(listener_, 1) == 0;
        if (listening_) thread_ = std::thread([this] { serve(); });
    }
    ~OneReplyServer() {
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        if (thread_.joinable()) thread_.join();
        WSACleanup();
    }
    bool listening() const { return listening_; }
    const std::string& request() const { return request_; }

private:
    void serve() {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        char buffer[4096];
        while (request_.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            request_.append(buffer, static_cast<size_t>(got));
        }
        send(client, reply_.data(), static_cast<int>(reply_.size()), 0);
        shutdown(client, SD_SEND);
        while (recv(client, buffer, sizeof(buffer), 0) > 0) {
        }
        closesocket(client);
    }

    std::string reply_;
    SOCKET listener_ = INVALID_SOCKET;
    bool listening_ = false;
    std::thread thread_;
    std::string request_;
};

class CountBytes : public PackageByteSink {
public:
    bool start() override {
        count = 0;
        return true;
    }
    bool bytes(const uint8_t*, size_t size) override {
        count += size;
        return true;
    }
    size_t count = 0;
};

std::string reply(const std::string& lengthHeader, size_t bodyBytes) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + lengthHeader +
           "Connection: close\r\n\r\n" + std::string(bodyBytes, 'Z');
}

}  // namespace

// (what the server sends, whether the transfer is complete): only a body that reaches its
// announced length, or one without a length that ends with the connection, is the package;
// and never one longer than the limit.
TEST(PackageTransfer, ABodyCutBeforeItsContentLengthIsNeverComplete) {
    if (!inPrivateNetwork())
        GTEST_SKIP() << "needs loopback port 80 in the private network namespace "
                        "(ctest runs it as service_download_transfer)";
    const struct {
        const char* name;
        std::string reply;
        bool complete;
        size_t bytes;
        uint32_t limit = 1u << 20;
    } rows[] = {
        {"whole body", reply("Content-Length: 5000\r\n", 5000), true, 5000},
        {"no length, ended by the close", reply("", 5000), true, 5000},
        {"one byte short", reply("Content-Length: 5000\r\n", 4999), false, 4999},
        {"half", reply("Content-Length: 5000\r\n", 2500), false, 2500},
        {"one byte of it", reply("Content-Length: 5000\r\n", 1), false, 1},
        {"at the limit", reply("Content-Length: 5000\r\n", 5000), true, 5000, 5000},
        {"one byte over the limit", reply("", 5001), false, 0, 5000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OneReplyServer server(row.reply);
        ASSERT_TRUE(server.listening()) << WSAGetLastError();
        LogCapture log;
        PackageSource source;
        source.host = L"127.0.0.1";
        source.deadlineMs = 20000;
        PackageBinding unbound;
        StagingFolder staging;
        CountBytes sink;
        uint32_t bytes = 0;
        const bool complete = transferPackage(source, L"/package.z", row.limit, unbound, staging,
                                              sink, bytes);
        EXPECT_EQ(complete, row.complete);
        EXPECT_EQ(server.request().compare(0, 15, "GET /package.z "), 0) << server.request();
        EXPECT_LE(sink.count, row.limit);
        if (row.bytes == 0) {
            // Over the limit: refused as too large, whatever arrived before.
            EXPECT_TRUE(log.has("error 1310 223"));
            continue;
        }
        EXPECT_EQ(bytes, row.bytes);
        EXPECT_EQ(sink.count, row.bytes);
        if (!row.complete) {
            // Cut short: its part goes (an unbound package never resumes), and the cause is the
            // body's end before its length.
            EXPECT_TRUE(log.has("warning 1496 " + std::to_string(row.bytes))) << row.name;
            EXPECT_TRUE(log.has("error 1345 38")) << row.name;
        } else {
            EXPECT_FALSE(log.has("error 1345 38"));
        }
    }
}

// (binding, resumable): only a package bound by a size above zero and a whole SHA-256 waits
// for the next start when it is cut; any other never resumes.
TEST(PackageTransfer, OnlyAPackageBoundBySizeAndDigestResumes) {
    const std::string digest(64, 'a');
    const struct {
        const char* name;
        bool hasSize;
        uint32_t size;
        std::string sha256;
        bool resumable;
    } rows[] = {
        {"size and digest", true, 1000, digest, true},
        {"no size", false, 1000, digest, false},
        {"size 0", true, 0, digest, false},
        {"no digest", true, 1000, "", false},
        {"digest one short", true, 1000, std::string(63, 'a'), false},
        {"digest one long", true, 1000, std::string(65, 'a'), false},
        {"nothing", false, 0, "", false},
    };
    for (const auto& row : rows) {
        PackageBinding binding;
        binding.hasSize = row.hasSize;
        binding.size = row.size;
        binding.sha256 = row.sha256;
        EXPECT_EQ(resumablePackage(binding), row.resumable) << row.name;
    }
}
