// Task Scheduler 1.0: registration (create, or repair of the first trigger's interval) and
// removal of the task's .job file.
#include "resources/string_resources.h"
#include "task/com_support.h"
#include "task/scheduled_task.h"
#include "task/task_log.h"

namespace {

constexpr LogLevel kError = LogLevel::Error;
constexpr WORD kTriggerRecordSize = 48;
static_assert(sizeof(TASK_TRIGGER) == kTriggerRecordSize, "TASK_TRIGGER must be 48 bytes");

bool saveTask(ComRef<ITask>& task, MessageCode noFileCode, MessageCode saveCode) {
    ComRef<IPersistFile> file;
    const HRESULT hr = task->QueryInterface(kIidPersistFile, file.putVoid());
    task.reset();
    if (FAILED(hr) || !file) {
        logWithLastError(kError, noFileCode);
        return false;
    }
    // No file name and the remember flag: the task's own .job file.
    if (FAILED(file->Save(nullptr, TRUE))) {
        logWithLastError(kError, saveCode);
        return false;
    }
    return true;
}

// The task's first trigger.
bool firstTrigger(ITask* task, ComRef<ITaskTrigger>& trigger) {
    WORD count = 0;
    if (FAILED(task->GetTriggerCount(&count))) {
        logWithLastError(kError, MessageCode::Task1RepairGetTriggerCountFailed);
        return false;
    }
    if (count < 1) {
        logWithLastError(kError, MessageCode::Task1RepairNoTrigger);
        return false;
    }
    if (FAILED(task->GetTrigger(0, trigger.put())) || !trigger) {
        logWithLastError(kError, MessageCode::Task1RepairGetTriggerFailed);
        return false;
    }
    return true;
}

// Sets the trigger's repetition interval to one hour; start, duration and every other field
// stay. The trigger is released once it is written.
bool setHourlyInterval(ComRef<ITaskTrigger>& trigger) {
    TASK_TRIGGER record = {};
    record.cbTriggerSize = kTriggerRecordSize;
    if (FAILED(trigger->GetTrigger(&record))) {
        logWithLastError(kError, MessageCode::Task1RepairReadTriggerFailed);
        return false;
    }
    record.MinutesInterval = 60;
    const HRESULT hr = trigger->SetTrigger(&record);
    trigger.reset();
    if (FAILED(hr)) {
        logWithLastError(kError, MessageCode::Task1RepairWriteTriggerFailed);
        return false;
    }
    return true;
}

// Sets the interval of the first trigger of an existing task to one hour and saves the task.
bool repairTask(ComRef<ITask>& task) {
    ComRef<ITaskTrigger> trigger;
    if (!firstTrigger(task.get(), trigger)) return false;
    if (!setHourlyInterval(trigger)) return false;
    if (!saveTask(task, MessageCode::Task1RepairNoPersistFile, MessageCode::Task1RepairSaveFailed))
        return false;
    logCodeOnly(LogLevel::Info, MessageCode::Task1Repaired);
    return true;
}

// A new work item of the task's name; the scheduler is released.
bool newWorkItem(ComRef<ITaskScheduler>& scheduler, ComRef<ITask>& task) {
    const HRESULT hr = scheduler->NewWorkItem(kTaskName, kClsidCTask, kIidTask,
                                              reinterpret_cast<IUnknown**>(task.put()));
    scheduler.reset();
    if (FAILED(hr) || !task) {
        logWithLastError(kError, MessageCode::Task1CreateNewWorkItemFailed);
        return false;
    }
    return true;
}

// The empty account name with no password is the local system account.
bool runAsSystem(ITask* task) {
    if (FAILED(task->SetAccountInformation(L"", nullptr))) {
        logWithLastError(kError, MessageCode::Task1CreateSetAccountFailed);
        return false;
    }
    return true;
}

bool addTrigger(ITask* task, ComRef<ITaskTrigger>& trigger) {
    WORD index = 0;
    if (FAILED(task->CreateTrigger(&index, trigger.put())) || !trigger) {
        logWithLastError(kError, MessageCode::Task1CreateCreateTriggerFailed);
        return false;
    }
    return true;
}

// Creator, comment, program and flags: a property that cannot be set is logged as a warning
// and the task goes on without it.
void describeTask(ScheduledTask& owner, ITask* task) {
    if (FAILED(task->SetCreator(kTaskAuthor)))
        logWithLastError(LogLevel::Warning, MessageCode::Task1CreateSetCreatorFailed);
    const std::wstring comment = loadProgramText(kTaskDescriptionId);
    if (FAILED(task->SetComment(comment.c_str())))
        logWithLastError(LogLevel::Warning, MessageCode::Task1CreateSetCommentFailed);
    if (FAILED(task->SetApplicationName(owner.programPath().c_str())))
        logWithLastError(LogLevel::Warning, MessageCode::Task1CreateSetApplicationNameFailed);
    if (FAILED(task->SetFlags(TASK_FLAG_RUN_IF_CONNECTED_TO_INTERNET)))
        logWithLastError(LogLevel::Warning, MessageCode::Task1CreateSetFlagsFailed);
}

// Daily from 2000-01-01 at a random minute past midnight, every hour for a day. The trigger is
// released once it is written.
bool setDailyHourlyTrigger(TaskPlatform& platform, ComRef<ITaskTrigger>& trigger) {
    uint32_t number = 0;
    TASK_TRIGGER record = {};
    record.cbTriggerSize = kTriggerRecordSize;
    record.wBeginYear = 2000;
    record.wBeginMonth = 1;
    record.wBeginDay = 1;
    record.wStartHour = 0;
    record.wStartMinute = platform.drawRandom(number) ? static_cast<WORD>(number % 60) : 0;
    record.MinutesDuration = 1440;
    record.MinutesInterval = 60;
    record.rgFlags = 0;
    record.TriggerType = TASK_TIME_TRIGGER_DAILY;
    record.Type.Daily.DaysInterval = 1;
    const HRESULT hr = trigger->SetTrigger(&record);
    trigger.reset();
    if (FAILED(hr)) {
        logWithLastError(kError, MessageCode::Task1CreateSetTriggerFailed);
        return false;
    }
    return true;
}

// A new task, made step by step and saved as its .job file; each step logs its own failure and
// the first one that fails ends the creation.
bool createTask(ScheduledTask& owner, TaskPlatform& platform, ComRef<ITaskScheduler>& scheduler) {
    ComRef<ITask> task;
    if (!newWorkItem(scheduler, task)) return false;
    if (!runAsSystem(task.get())) return false;
    ComRef<ITaskTrigger> trigger;
    if (!addTrigger(task.get(), trigger)) return false;
    describeTask(owner, task.get());
    if (!setDailyHourlyTrigger(platform, trigger)) return false;
    if (!saveTask(task, MessageCode::Task1CreateNoPersistFile, MessageCode::Task1CreateSaveFailed))
        return false;
    logCodeOnly(LogLevel::Info, MessageCode::Task1Created);
    return true;
}

}  // namespace

bool ScheduledTask::registerWithScheduler1() {
    TaskPlatform& platform = *platform_;
    if (FAILED(platform.initializeApartment())) {
        logWithLastError(kError, MessageCode::Task1CoInitializeFailed);
        return false;
    }
    ComSession session(platform);
    ComRef<ITaskScheduler> scheduler;
    if (FAILED(platform.createTaskScheduler(scheduler.put())) || !scheduler) {
        logWithLastError(kError, MessageCode::Task1CreateSchedulerFailed);
        return false;
    }
    ComRef<ITask> task;
    const HRESULT hr = scheduler->Activate(kTaskName, kIidTask, reinterpret_cast<IUnknown**>(task.put()));
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return createTask(*this, platform, scheduler);
    if (FAILED(hr) || !task) {
        logWithLastError(kError, MessageCode::Task1ActivateFailed);
        return false;
    }
    scheduler.reset();
    return repairTask(task);
}

bool removeWithScheduler1(TaskPlatform& platform) {
    if (FAILED(platform.initializeApartment())) {
        logWithLastError(kError, MessageCode::Task1RemoveCoInitializeFailed);
        return false;
    }
    ComSession session(platform);
    ComRef<ITaskScheduler> scheduler;
    if (FAILED(platform.createTaskScheduler(scheduler.put())) || !scheduler) {
        logWithLastError(kError, MessageCode::Task1RemoveCreateSchedulerFailed);
        return false;
    }
    // The scheduler itself may hold the task file for a moment (it reads it after each change):
    // a delete that meets that sharing violation is tried again for up to about a second.
    HRESULT deleted = S_OK;
    for (int attempt = 1;; ++attempt) {
        deleted = scheduler->Delete(kTaskName);
        if (deleted != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || attempt == kTask1DeleteAttempts) break;
        Sleep(kTask1DeleteRetryMs);
    }
    return deleted == S_OK;
}

bool removeWithScheduler1() { return removeWithScheduler1(systemTaskPlatform()); }
