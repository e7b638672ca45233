#pragma once
// The scheduled task "Orvane Vextra Player Updater" that has the service started every hour:
// registration (or repair of an existing task) and removal, through Task Scheduler 2.0 on
// NT 6 and later and through Task Scheduler 1.0 before.
#include <windows.h>

#include <cstdint>
#include <string>

#include "task/task_platform.h"

extern const wchar_t kTaskName[];         // L"Orvane Vextra Player Updater"
extern const wchar_t kTaskRootFolder[];   // L"\\"
extern const wchar_t kTaskAuthor[];       // L"Orvane"
extern const wchar_t kTaskTriggerId[];    // L"UpdateTrigger"
extern const wchar_t kTaskInterval[];     // L"PT1H"
extern const wchar_t kTaskDuration[];     // L"P1D"
extern const wchar_t kTaskUserAccount[];  // L"SYSTEM"

// Class and interface identifiers, with the values the platform gives them.
extern const CLSID kClsidTaskScheduler;
extern const IID kIidTaskService;
extern const IID kIidDailyTrigger;
extern const IID kIidExecAction;
extern const CLSID kClsidCTaskScheduler;
extern const IID kIidTaskScheduler;
extern const CLSID kClsidCTask;
extern const IID kIidTask;
extern const IID kIidPersistFile;

// 2 (Task Scheduler 2.0) on an NT platform with major version 6 or more, otherwise 1.
int32_t schedulerVersionFor(const OSVERSIONINFOA& info);
// The same rule applied to what GetVersionExA (record size 148) reports.
int32_t currentSchedulerVersion();

// "2000-01-01T00:" + tens + ones + ":00Z"; tens 0..5, ones 0..9.
std::wstring formatStartBoundary(uint32_t tens, uint32_t ones);

class ScheduledTask {
public:
    // The version comes from the running Windows; the system COM run time is used.
    explicit ScheduledTask(std::wstring programPath);
    // A given version and platform (tests).
    ScheduledTask(std::wstring programPath, int32_t schedulerVersion, TaskPlatform& platform);

    bool registerTask();
    bool registerWithScheduler2();
    bool registerWithScheduler1();
    // The 2.0 start time: 1 January 2000, 00:MM UTC with a random minute.
    std::wstring makeStartBoundary();

    const std::wstring& programPath() const { return programPath_; }
    int32_t schedulerVersion() const { return schedulerVersion_; }

private:
    std::wstring programPath_;
    int32_t schedulerVersion_;
    TaskPlatform* platform_;
};

// Creates or repairs the task for the program; false also when memory runs out.
bool registerScheduledTask(const std::wstring& programPath);

// A Task Scheduler 1.0 delete that meets a sharing violation (the scheduler reading the task
// file) is made this many times in all, this far apart.
const int kTask1DeleteAttempts = 10;
const unsigned long kTask1DeleteRetryMs = 100;

// Delete the task; true only when the final delete call returned S_OK.
bool removeWithScheduler2();
bool removeWithScheduler1();
bool removeWithScheduler2(TaskPlatform& platform);
bool removeWithScheduler1(TaskPlatform& platform);
