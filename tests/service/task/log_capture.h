#pragma once
// Runs a test with the service log going to a private folder and verbose logging on, and
// reads back the messages (the text after "] ") that were written.
#include <windows.h>

#include <string>
#include <vector>

#include "log/service_log.h"
#include "support/scratch_folder.h"

namespace testsupport {

class LogCapture {
public:
    LogCapture() : cwd_(folder_.path()) {
        CreateDirectoryW((folder_ / L"Telmor").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"Telmor\\Vextra").c_str(), nullptr);
        ServiceLog::setVerbose(true);
    }
    ~LogCapture() = default;

    std::wstring logPath() const { return folder_ / L"Telmor\\Vextra\\VextraInstall.log"; }
    const std::wstring& folder() const { return folder_.path(); }

    // "level message" for every line so far, e.g. "error 1262 5".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        const std::wstring text = fromUtf16Bytes(readBytes(logPath()));
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos) end = text.size();
            const std::wstring line = text.substr(start, end - start);
            const size_t open = line.find(L" [");
            const size_t close = line.find(L"] ");
            if (open != std::wstring::npos && close != std::wstring::npos)
                out.push_back(narrow(line.substr(open + 2, close - open - 2)) + " " +
                              narrow(line.substr(close + 2)));
            start = end + 2;
        }
        return out;
    }

    // Just the message codes (first word of each message), in order.
    std::vector<std::string> codes() const {
        std::vector<std::string> out;
        for (const std::string& line : lines()) {
            const size_t space = line.find(' ');
            const std::string message = line.substr(space + 1);
            out.push_back(message.substr(0, message.find(' ')));
        }
        return out;
    }

    bool has(const std::string& levelAndMessage) const {
        for (const std::string& line : lines())
            if (line == levelAndMessage) return true;
        return false;
    }

private:
    ScratchFolder folder_;
    CurrentDirectory cwd_;
};

}  // namespace testsupport
