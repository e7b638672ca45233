#include "config/update_state.h"

#include <limits>

namespace {

const wchar_t kLastUpdateCheck[] = L"LastUpdateCheck";
const wchar_t kCheckFrequency[] = L"CheckFrequency";
const wchar_t kUpdateAttempts[] = L"UpdateAttempts";

// An open registry key, closed when it leaves scope.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    bool openForReading() { return open(KEY_READ); }
    bool openForDeleting() { return open(KEY_SET_VALUE); }
    bool createForWriting() {
        return RegCreateKeyExW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath, 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key_,
                               nullptr) == ERROR_SUCCESS;
    }
    HKEY get() const { return key_; }

private:
    bool open(REGSAM access) {
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath, 0, access, &key_) ==
               ERROR_SUCCESS;
    }
    HKEY key_ = nullptr;
};

// Reads at most `size` bytes of a value, whatever its type. False when the value is missing,
// unreadable or larger than `size`.
bool readRaw(HKEY key, const wchar_t* name, void* data, DWORD size) {
    DWORD got = size;
    return RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(data), &got) ==
           ERROR_SUCCESS;
}

bool writeDword(const wchar_t* name, uint32_t value) {
    RegKey key;
    if (!key.createForWriting()) return false;
    const DWORD data = value;
    return RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
}

bool deleteValue(const wchar_t* name) {
    RegKey key;
    if (!key.openForDeleting()) return false;
    return RegDeleteValueW(key.get(), name) == ERROR_SUCCESS;
}

}  // namespace

const wchar_t UpdateStateStore::kKeyPath[] = L"SOFTWARE\\Telmora\\VextraPlayer";

uint32_t clampCheckFrequency(uint32_t days) {
    if (days == 0) return 1;
    if (days > 3) return 3;
    return days;
}

bool isCheckDueAt(uint64_t now, uint64_t last, uint32_t days) {
    // Unsigned 64-bit arithmetic throughout: a time stamp in the future stays not due until
    // `now` has passed it by `days` days; equality is not due.
    const uint64_t dueAfter = last + static_cast<uint64_t>(days) * kFileTimeUnitsPerDay;
    return dueAfter < now;
}

uint64_t UpdateStateStore::currentFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool UpdateStateStore::isCheckDue() {
    const uint64_t now = currentFileTime();
    const uint64_t last = readLastUpdateCheck();
    uint32_t days = 1;
    readCheckFrequency(days);
    return isCheckDueAt(now, last, days);
}

uint64_t UpdateStateStore::readLastUpdateCheck() {
    RegKey key;
    if (!key.openForReading()) return 0;
    // A 4-byte value fills the low half only (little-endian), the upper half stays 0.
    uint64_t stored = 0;
    if (!readRaw(key.get(), kLastUpdateCheck, &stored, sizeof stored)) return 0;
    return stored;
}

bool UpdateStateStore::recordLastUpdateCheck(bool reset) {
    const uint64_t value = reset ? 0 : currentFileTime();
    RegKey key;
    if (!key.createForWriting()) return false;
    return RegSetValueExW(key.get(), kLastUpdateCheck, 0, REG_QWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
}

bool UpdateStateStore::readCheckFrequency(uint32_t& days) {
    days = 1;
    RegKey key;
    if (!key.openForReading()) return false;
    DWORD stored = 0;
    if (!readRaw(key.get(), kCheckFrequency, &stored, sizeof stored)) return false;
    days = clampCheckFrequency(stored);
    return true;
}

bool UpdateStateStore::writeCheckFrequency(const uint32_t* days) {
    return writeDword(kCheckFrequency, days ? clampCheckFrequency(*days) : 1);
}

bool UpdateStateStore::readUpdateAttempts(uint32_t& count) {
    RegKey key;
    if (!key.openForReading()) return false;
    DWORD stored = 0;
    if (!readRaw(key.get(), kUpdateAttempts, &stored, sizeof stored)) return false;
    count = stored;
    return true;
}

bool UpdateStateStore::writeUpdateAttempts(uint32_t count) {
    return writeDword(kUpdateAttempts, count);
}

bool UpdateStateStore::incrementUpdateAttempts() {
    uint32_t count = 0;
    if (!readUpdateAttempts(count)) return writeUpdateAttempts(1);
    // Saturates instead of wrapping to 0, which would silently lift the attempt limit.
    if (count != std::numeric_limits<uint32_t>::max()) ++count;
    return writeUpdateAttempts(count);
}

bool UpdateStateStore::deleteUpdateAttempts() { return deleteValue(kUpdateAttempts); }

bool UpdateStateStore::deleteLastUpdateCheck() { return deleteValue(kLastUpdateCheck); }

bool UpdateStateStore::deleteCheckFrequency() { return deleteValue(kCheckFrequency); }
