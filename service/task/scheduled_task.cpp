#include "task/scheduled_task.h"

#include <new>
#include <utility>

const wchar_t kTaskName[] = L"Orvane Vextra Player Updater";
const wchar_t kTaskRootFolder[] = L"\\";
const wchar_t kTaskAuthor[] = L"Orvane";
const wchar_t kTaskTriggerId[] = L"UpdateTrigger";
const wchar_t kTaskInterval[] = L"PT1H";
const wchar_t kTaskDuration[] = L"P1D";
const wchar_t kTaskUserAccount[] = L"SYSTEM";

const CLSID kClsidTaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
const IID kIidTaskService = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
const IID kIidDailyTrigger = {
    0x126C5CD8, 0xB288, 0x41D5, {0x8D, 0xBF, 0xE4, 0x91, 0x44, 0x6A, 0xDC, 0x5C}};
const IID kIidExecAction = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
const CLSID kClsidCTaskScheduler = {
    0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID kIidTaskScheduler = {
    0x148BD527, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const CLSID kClsidCTask = {
    0x148BD520, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID kIidTask = {
    0x148BD524, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID kIidPersistFile = {
    0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

int32_t schedulerVersionFor(const OSVERSIONINFOA& info) {
    return (info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6) ? 2 : 1;
}

int32_t currentSchedulerVersion() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = 148;
    GetVersionExA(&info);
    return schedulerVersionFor(info);
}

std::wstring formatStartBoundary(uint32_t tens, uint32_t ones) {
    std::wstring text = L"2000-01-01T00:00:00Z";
    const size_t n = text.size();
    text[n - 8] = L'0';
    text[n - 6] = static_cast<wchar_t>(L'0' + tens % 6);
    text[n - 5] = static_cast<wchar_t>(L'0' + ones % 10);
    return text;
}

ScheduledTask::ScheduledTask(std::wstring programPath)
    : programPath_(std::move(programPath)),
      schedulerVersion_(currentSchedulerVersion()),
      platform_(&systemTaskPlatform()) {}

ScheduledTask::ScheduledTask(std::wstring programPath, int32_t schedulerVersion, TaskPlatform& platform)
    : programPath_(std::move(programPath)), schedulerVersion_(schedulerVersion), platform_(&platform) {}

bool ScheduledTask::registerTask() {
    return schedulerVersion_ == 1 ? registerWithScheduler1() : registerWithScheduler2();
}

std::wstring ScheduledTask::makeStartBoundary() {
    uint32_t tens = 0;
    uint32_t ones = 0;
    uint32_t number = 0;
    if (platform_->drawRandom(number)) tens = number % 6;
    if (platform_->drawRandom(number)) ones = number % 10;
    return formatStartBoundary(tens, ones);
}

bool registerScheduledTask(const std::wstring& programPath) {
    // Every COM reference and string the registration holds is owned by a scope object, so
    // running out of memory anywhere in it releases what is held and ends with false.
    try {
        ScheduledTask task(programPath);
        return task.registerTask();
    } catch (const std::bad_alloc&) {
        return false;
    }
}
