#pragma once
// The three registry values under HKLM\SOFTWARE\Telmora\VextraPlayer that carry the update
// state from one service run to the next.
#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint64_t kFileTimeUnitsPerDay = 864000000000ULL;  // 100-ns units in a day

// Check frequency as stored and as read: 0 becomes 1, anything above 3 becomes 3.
uint32_t clampCheckFrequency(uint32_t days);

// A check is due when last + days * one day < now, in unsigned 64-bit arithmetic.
bool isCheckDueAt(uint64_t now, uint64_t last, uint32_t days);

class UpdateStateStore {
public:
    static const wchar_t kKeyPath[];  // L"SOFTWARE\\Telmora\\VextraPlayer"

    static uint64_t currentFileTime();
    static bool isCheckDue();
    // Up to 8 bytes of "LastUpdateCheck" whatever its type (a 4-byte value fills the low half);
    // 0 when the key or value cannot be read.
    static uint64_t readLastUpdateCheck();
    static bool recordLastUpdateCheck(bool reset);
    static bool readCheckFrequency(uint32_t& days);
    static bool writeCheckFrequency(const uint32_t* days);
    static bool readUpdateAttempts(uint32_t& count);
    static bool writeUpdateAttempts(uint32_t count);
    static bool incrementUpdateAttempts();
    static bool deleteUpdateAttempts();
    static bool deleteLastUpdateCheck();
    static bool deleteCheckFrequency();
};
