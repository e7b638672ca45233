#pragma once
// The program's localised string resources (the task and service descriptions, in the languages
// of the resource script), looked up in the thread's user interface language with the usual
// fallback.
#include <windows.h>

#include <cstdint>
#include <string>

#include "resources/resource_ids.h"

constexpr uint32_t kTaskDescriptionId = IDS_TASK_DESCRIPTION;
constexpr uint32_t kServiceDescriptionId = IDS_SERVICE_DESCRIPTION;

extern const wchar_t kMissingLocalization[];  // L"MISSING LOCALIZATION"

// String resource id of the given module, or "MISSING LOCALIZATION".
std::wstring loadTextFrom(HMODULE module, uint32_t id);

// String resource id of this program, or "MISSING LOCALIZATION".
std::wstring loadProgramText(uint32_t id);
