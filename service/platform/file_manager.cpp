#include "platform/file_manager.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <limits>
#include <new>

#include "platform/text_encoding.h"

namespace RUZE {

namespace {

const wchar_t kConfigSuffix[] = L"\\Telmor\\Vextra\\kvc.cfg";
const int64_t kUnitsPerSecond = 10000000;

// A find handle, closed when it leaves scope.
class FindHandle {
public:
    FindHandle(const std::wstring& pattern, WIN32_FIND_DATAW& data)
        : h_(FindFirstFileW(pattern.c_str(), &data)) {}
    ~FindHandle() {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    bool next(WIN32_FIND_DATAW& data) { return FindNextFileW(h_, &data) != 0; }

private:
    HANDLE h_;
};

bool isDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// Folder links (junctions, symbolic links) are never followed: walking into them could reach
// files outside the tree or loop for ever.
bool isRealFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Shell folder + suffix as UTF-8, stored in `cache` by the first call that gets a path.
const std::string& cachedShellPath(std::string& cache, int csidl, const wchar_t* suffix,
                                   bool registryFallback) {
    if (!cache.empty()) return cache;
    wchar_t buffer[MAX_PATH] = {};
    std::wstring folder;
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
        folder = buffer;
    } else if (registryFallback) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER,
                          L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                          0, KEY_READ, &key) == ERROR_SUCCESS) {
            char ansi[MAX_PATH + 1] = {};
            DWORD size = MAX_PATH;
            DWORD type = 0;
            if (RegQueryValueExA(key, "AppData", nullptr, &type, reinterpret_cast<BYTE*>(ansi),
                                 &size) == ERROR_SUCCESS) {
                wchar_t wide[MAX_PATH + 1] = {};
                MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, MAX_PATH);
                folder = wide;
                if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
                    folder.pop_back();
            }
            RegCloseKey(key);
        }
    }
    try {
        std::string converted;
        if (!utf8FromWideLenient(folder + suffix, converted)) return cache;
        if (cache.empty()) cache = converted;
    } catch (const std::bad_alloc&) {
    }
    return cache;
}

// Deletes the files in the age window below `folder`; `emptied` tells whether nothing is left.
bool deleteByAgeIn(const std::wstring& folder, int64_t now, int64_t minimumAgeSeconds,
                   int64_t maximumAgeSeconds, bool& emptied) {
    emptied = true;
    WIN32_FIND_DATAW data;
    FindHandle find(folder + L"\\*", data);
    if (!find.valid()) return false;
    do {
        if (isDotEntry(data.cFileName)) continue;
        const std::wstring child = folder + L"\\" + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            bool childEmptied = false;
            if (!isRealFolder(data.dwFileAttributes) ||
                !deleteByAgeIn(child, now, minimumAgeSeconds, maximumAgeSeconds, childEmptied) ||
                !childEmptied || !RemoveDirectoryW(child.c_str()))
                emptied = false;
            continue;
        }
        const int64_t written =
            static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                 data.ftLastWriteTime.dwLowDateTime);
        if (!isAgeInWindow(now - written, minimumAgeSeconds, maximumAgeSeconds) ||
            !DeleteFileW(child.c_str()))
            emptied = false;
    } while (find.next(data));
    return true;
}

uint64_t sizeOf(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!isRealFolder(attributes)) return 0;
        uint64_t total = 0;
        WIN32_FIND_DATAW data;
        FindHandle find(path + L"\\*", data);
        if (!find.valid()) return 0;
        do {
            if (!isDotEntry(data.cFileName)) total += sizeOf(path + L"\\" + data.cFileName);
        } while (find.next(data));
        return total;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER size = {};
    const bool ok = GetFileSizeEx(file, &size) != 0;
    CloseHandle(file);
    return ok ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool isFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `folder`, creating missing folders above it first.
bool createFolderTree(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    const size_t cut = folder.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut == 0) return false;
    const std::wstring above = folder.substr(0, cut);
    if (!createFolderTree(above)) return false;
    return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool isAllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Numeric comparison of two digit strings of any length (no overflow).
int compareDigits(const std::string& a, const std::string& b) {
    const size_t za = std::min(a.find_first_not_of('0'), a.size());
    const size_t zb = std::min(b.find_first_not_of('0'), b.size());
    const size_t la = a.size() - za, lb = b.size() - zb;
    if (la != lb) return la < lb ? -1 : 1;
    return a.compare(za, la, b, zb, lb);
}

}  // namespace

FileManager::~FileManager() = default;

bool isAgeInWindow(int64_t ageUnits, int64_t minimumAgeSeconds, int64_t maximumAgeSeconds) {
    const auto toUnits = [](int64_t seconds) {
        const int64_t limit = std::numeric_limits<int64_t>::max() / kUnitsPerSecond;
        if (seconds > limit) return std::numeric_limits<int64_t>::max();
        if (seconds < -limit) return std::numeric_limits<int64_t>::min();
        return seconds * kUnitsPerSecond;
    };
    return toUnits(minimumAgeSeconds) < ageUnits && ageUnits < toUnits(maximumAgeSeconds);
}

bool listingNameLess(const std::string& a, const std::string& b) {
    const bool digitsA = isAllDigits(a), digitsB = isAllDigits(b);
    if (digitsA && digitsB) return compareDigits(a, b) < 0;
    if (digitsA != digitsB) return digitsB;  // the all-digit name sorts last
    return a < b;                              // std::string compares bytes as unsigned
}

const std::string& WindowsFileManager::configFilePath() {
    static std::string cache;
    return cachedShellPath(cache, CSIDL_SYSTEM, kConfigSuffix, false);
}

bool WindowsFileManager::deletePath(const std::string& path) {
    std::wstring wide;
    if (path.empty() || !wideFromUtf8Strict(path, wide)) return false;
    try {
        wide.push_back(L'\0');  // the source list ends with two null characters
    } catch (const std::bad_alloc&) {
        return false;
    }
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = wide.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    const int result = SHFileOperationW(&op);
    // Not found (2), and the shell's invalid-path results (124, 1026) count as deleted.
    return result == 0 || result == ERROR_FILE_NOT_FOUND || result == 124 || result == 1026;
}

bool WindowsFileManager::deleteFilesByAge(const std::string& folder, int64_t minimumAgeSeconds,
                                          int64_t maximumAgeSeconds) {
    try {
        std::wstring wide;
        if (!wideFromUtf8Strict(folder, wide) || wide.empty()) return false;
        SYSTEMTIME st;
        GetSystemTime(&st);
        FILETIME ft;
        if (!SystemTimeToFileTime(&st, &ft)) return false;
        const int64_t now =
            static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        bool emptied = false;
        if (!deleteByAgeIn(wide, now, minimumAgeSeconds, maximumAgeSeconds, emptied)) return false;
        if (emptied && !RemoveDirectoryW(wide.c_str())) return false;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

uint64_t WindowsFileManager::getSize(const std::string& path) {
    try {
        std::wstring wide;
        if (!wideFromUtf8Strict(path, wide) || wide.empty()) return 0;
        return sizeOf(wide);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool WindowsFileManager::createFolder(const std::string& parent, const std::string& name) {
    try {
        std::wstring wideParent, wideName;
        if (!wideFromUtf8Strict(parent, wideParent) || !wideFromUtf8Strict(name, wideName))
            return false;
        if (wideParent.empty() || wideName.empty()) return false;
        createFolderTree(wideParent);
        const std::wstring folder = wideParent + L"\\" + wideName;
        if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
        // Something already there counts only when it is a folder.
        return GetLastError() == ERROR_ALREADY_EXISTS && isFolder(folder);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::string WindowsFileManager::pathSeparator() { return "\\"; }

const std::string& WindowsFileManager::assetCacheFolder() {
    static std::string cache;
    return cachedShellPath(cache, CSIDL_APPDATA, L"\\Orvane\\Vextra Player\\AssetCache", false);
}

const std::string& WindowsFileManager::kdCacheFolder() {
    static std::string cache;
    return cachedShellPath(cache, CSIDL_APPDATA, L"\\Orvane\\Vextra Player\\KDCache", false);
}

const std::string& WindowsFileManager::playerDataFolder() {
    static std::string cache;
    return cachedShellPath(cache, CSIDL_APPDATA, L"\\Telmora\\Vextra Player", true);
}

const std::string& WindowsFileManager::privateDataFolder() {
    static std::string cache;
    return cachedShellPath(cache, CSIDL_APPDATA, L"\\Orvane\\Vextra Player\\ZRPrivateData2",
                           false);
}

StringVector* WindowsFileManager::listFolder(const std::string& folder) {
    std::wstring wide;
    if (folder.empty() || !wideFromUtf8Strict(folder, wide)) return nullptr;
    StringVector* names = new (std::nothrow) StringVector;
    if (!names) return nullptr;
    try {
        WIN32_FIND_DATAW data;
        FindHandle find(wide + L"\\*", data);
        if (find.valid()) {
            do {
                if (isDotEntry(data.cFileName)) continue;
                std::string name;
                if (!utf8FromWideLenient(data.cFileName, name) || !names->append(name)) {
                    delete names;
                    return nullptr;
                }
            } while (find.next(data));
        }
        names->sort(listingNameLess);
        return names;
    } catch (const std::bad_alloc&) {
        delete names;
        return nullptr;
    }
}

}  // namespace RUZE
