// Reads a package as the service does, in 1 MiB blocks through the envelope parser, and writes
// what the parser made of it:  envelope_probe <package> <out>
//   <out>.info      result=<complete|malformed|indefinite|refused|pending> offset=<n> contentSize=<n>
//   <out>.content   the content's bytes as they were handed on
//   <out>.detached  the detached message (only when the package was complete)
// Exit code 0 when complete, 1 when not, 2 on usage or a file that cannot be opened.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "verify/signed_envelope.h"

namespace {

class FileSink : public EnvelopeContentSink {
public:
    explicit FileSink(FILE* file) : file_(file) {}
    bool content(const uint8_t* data, size_t size) override {
        return std::fwrite(data, 1, size, file_) == size;
    }

private:
    FILE* file_;
};

const char* name(SignedEnvelopeParser::Result result) {
    switch (result) {
        case SignedEnvelopeParser::Result::Complete: return "complete";
        case SignedEnvelopeParser::Result::Malformed: return "malformed";
        case SignedEnvelopeParser::Result::IndefiniteLength: return "indefinite";
        case SignedEnvelopeParser::Result::ContentRefused: return "refused";
        case SignedEnvelopeParser::Result::Pending: break;
    }
    return "pending";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring out = argv[2];
    HANDLE package = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILE* content = _wfopen((out + L".content").c_str(), L"wb");
    if (package == INVALID_HANDLE_VALUE || !content) return 2;
    FileSink sink(content);
    SignedEnvelopeParser parser;
    std::unique_ptr<uint8_t[]> block(new uint8_t[1u << 20]);
    bool going = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(package, block.get(), 1u << 20, &got, nullptr) || got == 0) break;
        if (going) going = parser.feed(block.get(), got, sink);
    }
    CloseHandle(package);
    if (going) parser.finish();
    std::fclose(content);
    const bool complete = parser.result() == SignedEnvelopeParser::Result::Complete;
    if (complete) {
        FILE* detached = _wfopen((out + L".detached").c_str(), L"wb");
        if (!detached) return 2;
        const std::vector<uint8_t> bytes = parser.detached();
        std::fwrite(bytes.data(), 1, bytes.size(), detached);
        std::fclose(detached);
    }
    FILE* info = _wfopen((out + L".info").c_str(), L"wb");
    if (!info) return 2;
    std::fprintf(info, "result=%s\noffset=%llu\ncontentSize=%llu\n", name(parser.result()),
                 static_cast<unsigned long long>(parser.failOffset()),
                 static_cast<unsigned long long>(parser.contentSize()));
    std::fclose(info);
    return complete ? 0 : 1;
}
