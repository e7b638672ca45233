// A stand-in for the player installer that arrives inside the signed packages.
//
// What it does is configured by a trailer appended to the executable (the loader ignores bytes
// after the image): key=value lines in UTF-8, followed by the 8 bytes "VXFAKE01" and the
// payload length as 8 hexadecimal digits. The publisher helpers of the tests write that trailer.
//   record=<file>          append one line: label, own path, command line, current directory
//   label=<text>           a name for this installer in the record
//   component=ActiveX|Plugin and version=<a.b.c.d>
//                          with "-install" on the command line, write the new build into the
//                          player's registry record, as a real installer would
//   player_file_text=<t>   also replace the content of the installed player file
#include <windows.h>

#include <map>
#include <string>

namespace {

const char kMagic[] = "VXFAKE01";

std::string readOwnFile() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::string bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    DWORD size = GetFileSize(file, nullptr);
    bytes.resize(size);
    DWORD read = 0;
    ReadFile(file, &bytes[0], size, &read, nullptr);
    bytes.resize(read);
    CloseHandle(file);
    return bytes;
}

std::map<std::string, std::string> readTrailer() {
    std::map<std::string, std::string> values;
    std::string bytes = readOwnFile();
    if (bytes.size() < 16 || bytes.compare(bytes.size() - 16, 8, kMagic) != 0) return values;
    const std::string lengthText = bytes.substr(bytes.size() - 8);
    if (lengthText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return values;
    size_t length = std::stoul(lengthText, nullptr, 16);
    if (length > bytes.size() - 16) return values;
    std::string payload = bytes.substr(bytes.size() - 16 - length, length);
    size_t start = 0;
    while (start < payload.size()) {
        size_t end = payload.find('\n', start);
        if (end == std::string::npos) end = payload.size();
        std::string line = payload.substr(start, end - start);
        size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return values;
}

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(n - 1);
    return out;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(n - 1);
    return out;
}

void appendRecord(const std::wstring& recordPath, const std::string& line) {
    HANDLE file = CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

const wchar_t* componentKey(const std::string& component) {
    if (component == "ActiveX") return L"Software\\Telmora\\VextraPlayerActiveX";
    if (component == "Plugin") return L"Software\\Telmora\\VextraPlayerPlugin";
    return nullptr;
}

void installNewBuild(const std::map<std::string, std::string>& trailer) {
    auto component = trailer.find("component");
    auto version = trailer.find("version");
    if (component == trailer.end() || version == trailer.end()) return;
    const wchar_t* keyPath = componentKey(component->second);
    if (!keyPath) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_READ | KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    auto text = trailer.find("player_file_text");
    if (text != trailer.end()) {
        wchar_t playerPath[MAX_PATH] = {};
        DWORD size = sizeof(playerPath) - sizeof(wchar_t);
        if (RegQueryValueExW(key, L"PlayerPath", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(playerPath), &size) == ERROR_SUCCESS) {
            HANDLE file = CreateFileW(playerPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                WriteFile(file, text->second.data(), static_cast<DWORD>(text->second.size()),
                          &written, nullptr);
                CloseHandle(file);
            }
        }
    }
    std::wstring value = wide(version->second);
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

}  // namespace

int wmain(int, wchar_t**) {
    std::map<std::string, std::string> trailer = readTrailer();
    std::wstring commandLine = GetCommandLineW();

    if (commandLine.find(L" -install") != std::wstring::npos) installNewBuild(trailer);

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::string recordPath = trailer.count("record") ? trailer["record"] : "C:\\vextra-installer-runs.txt";
    std::string label = trailer.count("label") ? trailer["label"] : "unlabelled";
    // The record is written last, so a reader that sees it also sees the registry change.
    appendRecord(wide(recordPath),
                 label + "\t" + utf8(self) + "\t" + utf8(commandLine) + "\t" + utf8(cwd) + "\n");
    return 0;
}
