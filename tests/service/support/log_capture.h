#pragma once
// Runs a test in a private working directory with the service log folder present and verbose
// logging on, and reads back what the code under test logged (verbose logging goes off again
// at the end). The one log reader of the service tests, with four views of the same lines:
// entries() (level and message apart), lines() ("error 1262 5"), messages() and codes().
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "log/service_log.h"
#include "support/scratch_folder.h"

namespace testsupport {

struct LoggedLine {
    std::wstring level;    // "info", "warning", "error"
    std::wstring message;  // the body after "] "
};

class LogCapture {
public:
    LogCapture() : cwd_(new CurrentDirectory(scratch_.path())) {
        CreateDirectoryW((scratch_ / L"Telmor").c_str(), nullptr);
        CreateDirectoryW((scratch_ / L"Telmor\\Vextra").c_str(), nullptr);
        ServiceLog::setVerbose(true);
    }
    ~LogCapture() {
        ServiceLog::setVerbose(false);
        cwd_.reset();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The working directory of the test.
    const ScratchFolder& folder() const { return scratch_; }
    std::wstring logPath() const { return scratch_ / L"Telmor\\Vextra\\VextraInstall.log"; }

    // Every line written so far, without its timestamp.
    std::vector<LoggedLine> entries() const {
        std::vector<LoggedLine> out;
        const std::wstring text = fromUtf16Bytes(readBytes(logPath()));
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos) end = text.size();
            const std::wstring line = text.substr(start, end - start);
            start = end + 2;
            const size_t open = line.find(L" [");
            const size_t close = line.find(L"] ", open == std::wstring::npos ? 0 : open);
            if (open == std::wstring::npos || close == std::wstring::npos) continue;
            out.push_back({line.substr(open + 2, close - open - 2), line.substr(close + 2)});
        }
        return out;
    }

    // "level message" for every line, e.g. "error 1262 5".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& l : entries()) out.push_back(narrow(l.level) + " " + narrow(l.message));
        return out;
    }

    // Message bodies in order, e.g. {L"1630 /pub/...", L"1408"}.
    std::vector<std::wstring> messages() const {
        std::vector<std::wstring> out;
        for (const auto& l : entries()) out.push_back(l.message);
        return out;
    }

    // Just the message codes (first word of each message), in order.
    std::vector<std::string> codes() const {
        std::vector<std::string> out;
        for (const auto& l : entries()) out.push_back(narrow(l.message.substr(0, l.message.find(L' '))));
        return out;
    }

    bool has(const std::string& levelAndMessage) const {
        for (const std::string& line : lines())
            if (line == levelAndMessage) return true;
        return false;
    }

    // Deletes what was logged so far.
    void clear() const { DeleteFileW(logPath().c_str()); }

private:
    ScratchFolder scratch_;
    std::unique_ptr<CurrentDirectory> cwd_;
};

}  // namespace testsupport
