// Task Scheduler 2.0: registration (create, or repair of the first trigger's interval) and
// removal of the task in the root folder.
#include "resources/string_resources.h"
#include "task/com_support.h"
#include "task/scheduled_task.h"
#include "task/task_log.h"

namespace {

constexpr LogLevel kError = LogLevel::Error;

// Registers the definition under the task name as SYSTEM, with an interactive token logon and
// an empty security descriptor; no principal is set on the definition itself.
bool registerDefinition(TaskPlatform& platform, ITaskFolder* folder, ITaskDefinition* definition,
                        MessageCode failureCode) {
    BstrArg name(platform, kTaskName);
    VariantArg user(platform, kTaskUserAccount);
    VariantArg password;
    VariantArg sddl(platform, L"");
    if (!name.ok() || !user.ok() || !sddl.ok()) {
        logOutOfMemory(kError, failureCode);
        return false;
    }
    ComRef<IRegisteredTask> registered;
    const HRESULT hr = folder->RegisterTaskDefinition(
        name.get(), definition, TASK_CREATE_OR_UPDATE, user.get(), password.get(),
        TASK_LOGON_INTERACTIVE_TOKEN, sddl.get(), registered.put());
    if (FAILED(hr)) {
        logWithLastError(kError, failureCode);
        return false;
    }
    return true;
}

// The definition of the task that is already registered; the registered task is released.
bool takeDefinition(ComRef<IRegisteredTask>& existing, ComRef<ITaskDefinition>& definition) {
    const HRESULT hr = existing->get_Definition(definition.put());
    existing.reset();
    if (FAILED(hr) || !definition) {
        logWithLastError(kError, MessageCode::Task2RepairGetDefinitionFailed);
        return false;
    }
    return true;
}

// The repetition pattern of the definition's first trigger (the collection counts from 1).
bool firstTriggerRepetition(ITaskDefinition* definition, ComRef<IRepetitionPattern>& repetition) {
    ComRef<ITriggerCollection> triggers;
    if (FAILED(definition->get_Triggers(triggers.put())) || !triggers) {
        logWithLastError(kError, MessageCode::Task2RepairGetTriggersFailed);
        return false;
    }
    LONG count = 0;
    if (FAILED(triggers->get_Count(&count))) {
        logWithLastError(kError, MessageCode::Task2RepairGetCountFailed);
        return false;
    }
    if (count < 1) {
        logWithLastError(kError, MessageCode::Task2RepairNoTrigger);
        return false;
    }
    ComRef<ITrigger> trigger;
    HRESULT hr = triggers->get_Item(1, trigger.put());
    triggers.reset();
    if (FAILED(hr) || !trigger) {
        logWithLastError(kError, MessageCode::Task2RepairGetItemFailed);
        return false;
    }
    hr = trigger->get_Repetition(repetition.put());
    trigger.reset();
    if (FAILED(hr) || !repetition) {
        logWithLastError(kError, MessageCode::Task2RepairGetRepetitionFailed);
        return false;
    }
    return true;
}

// Sets the repetition interval to one hour; the pattern is released once the call is made.
bool putHourlyInterval(TaskPlatform& platform, ComRef<IRepetitionPattern>& repetition) {
    HRESULT hr;
    {
        BstrArg interval(platform, kTaskInterval);
        if (!interval.ok()) {
            logOutOfMemory(kError, MessageCode::Task2RepairPutIntervalFailed);
            return false;
        }
        hr = repetition->put_Interval(interval.get());
    }
    repetition.reset();
    if (FAILED(hr)) {
        logWithLastError(kError, MessageCode::Task2RepairPutIntervalFailed);
        return false;
    }
    return true;
}

// Sets the interval of the first trigger of an existing task to one hour and registers it
// again; every other property of the task stays as it is.
bool repairTask(TaskPlatform& platform, ComRef<IRegisteredTask>& existing, ITaskFolder* folder) {
    ComRef<ITaskDefinition> definition;
    if (!takeDefinition(existing, definition)) return false;
    ComRef<IRepetitionPattern> repetition;
    if (!firstTriggerRepetition(definition.get(), repetition)) return false;
    if (!putHourlyInterval(platform, repetition)) return false;
    if (!registerDefinition(platform, folder, definition.get(),
                            MessageCode::Task2RepairRegisterFailed))
        return false;
    logCodeOnly(LogLevel::Info, MessageCode::Task2Repaired);
    return true;
}

// One BSTR-taking property call; false with the code logged when the string cannot be made
// (outOfMemory is then set) or the call fails.
template <class Call>
bool putText(TaskPlatform& platform, const wchar_t* text, MessageCode failureCode,
             bool& outOfMemory, Call call) {
    BstrArg value(platform, text);
    if (!value.ok()) {
        logOutOfMemory(kError, failureCode);
        outOfMemory = true;
        return false;
    }
    if (FAILED(call(value.get()))) {
        logWithLastError(kError, failureCode);
        return false;
    }
    return true;
}

// A new, empty definition from the task service, which is released.
bool newDefinition(ComRef<ITaskService>& service, ComRef<ITaskDefinition>& definition) {
    const HRESULT hr = service->NewTask(0, definition.put());
    service.reset();
    if (FAILED(hr) || !definition) {
        logWithLastError(kError, MessageCode::Task2CreateNewTaskFailed);
        return false;
    }
    return true;
}

// Task Scheduler 1.0 compatibility, runs on battery, only with a network. A property that cannot
// be set is logged and the task goes on without it.
bool putSettings(ITaskDefinition* definition) {
    ComRef<ITaskSettings> settings;
    if (FAILED(definition->get_Settings(settings.put())) || !settings) {
        logWithLastError(kError, MessageCode::Task2CreateGetSettingsFailed);
        return false;
    }
    if (FAILED(settings->put_Compatibility(TASK_COMPATIBILITY_V1)))
        logWithLastError(kError, MessageCode::Task2CreatePutCompatibilityFailed);
    if (FAILED(settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE)))
        logWithLastError(kError, MessageCode::Task2CreatePutDisallowOnBatteriesFailed);
    if (FAILED(settings->put_RunOnlyIfNetworkAvailable(VARIANT_TRUE)))
        logWithLastError(kError, MessageCode::Task2CreatePutRunOnlyIfNetworkFailed);
    return true;
}

// Author, and the description from the program's string resources.
bool putRegistrationInfo(TaskPlatform& platform, ITaskDefinition* definition) {
    ComRef<IRegistrationInfo> info;
    if (FAILED(definition->get_RegistrationInfo(info.put())) || !info) {
        logWithLastError(kError, MessageCode::Task2CreateGetRegistrationInfoFailed);
        return false;
    }
    bool oom = false;
    if (!putText(platform, kTaskAuthor, MessageCode::Task2CreatePutAuthorFailed, oom,
                 [&](BSTR v) { return info->put_Author(v); }))
        return false;
    const std::wstring description = loadProgramText(kTaskDescriptionId);
    if (!putText(platform, description.c_str(), MessageCode::Task2CreatePutDescriptionFailed, oom,
                 [&](BSTR v) { return info->put_Description(v); }))
        return false;
    return true;
}

// One daily trigger from the task's start boundary, repeated every hour for a day.
bool addDailyTrigger(ScheduledTask& task, TaskPlatform& platform, ITaskDefinition* definition) {
    HRESULT hr;
    ComRef<ITrigger> trigger;
    {
        ComRef<ITriggerCollection> triggers;
        if (FAILED(definition->get_Triggers(triggers.put())) || !triggers) {
            logWithLastError(kError, MessageCode::Task2CreateGetTriggersFailed);
            return false;
        }
        hr = triggers->Create(TASK_TRIGGER_DAILY, trigger.put());
    }
    if (FAILED(hr) || !trigger) {
        logWithLastError(kError, MessageCode::Task2CreateDailyTriggerFailed);
        return false;
    }
    ComRef<IDailyTrigger> daily;
    hr = trigger->QueryInterface(kIidDailyTrigger, daily.putVoid());
    trigger.reset();
    if (FAILED(hr) || !daily) {
        logWithLastError(kError, MessageCode::Task2CreateNoDailyTrigger);
        return false;
    }
    // The trigger id and the start boundary go on when they fail; the task then keeps
    // the default of that property.
    bool oom = false;
    if (!putText(platform, kTaskTriggerId, MessageCode::Task2CreatePutIdFailed, oom,
                 [&](BSTR v) { return daily->put_Id(v); }) && oom)
        return false;
    const std::wstring start = task.makeStartBoundary();
    if (!putText(platform, start.c_str(), MessageCode::Task2CreatePutStartBoundaryFailed, oom,
                 [&](BSTR v) { return daily->put_StartBoundary(v); }) && oom)
        return false;
    if (FAILED(daily->put_DaysInterval(1))) {
        logWithLastError(kError, MessageCode::Task2CreatePutDaysIntervalFailed);
        return false;
    }
    ComRef<IRepetitionPattern> repetition;
    hr = daily->get_Repetition(repetition.put());
    daily.reset();
    if (FAILED(hr) || !repetition) {
        logWithLastError(kError, MessageCode::Task2CreateGetRepetitionFailed);
        return false;
    }
    if (!putText(platform, kTaskDuration, MessageCode::Task2CreatePutDurationFailed, oom,
                 [&](BSTR v) { return repetition->put_Duration(v); }))
        return false;
    if (!putText(platform, kTaskInterval, MessageCode::Task2CreatePutIntervalFailed, oom,
                 [&](BSTR v) { return repetition->put_Interval(v); }))
        return false;
    return true;
}

// One action that starts the program by its path exactly as held: no quotes, no arguments,
// no working directory.
bool addProgramAction(ScheduledTask& task, TaskPlatform& platform, ITaskDefinition* definition) {
    HRESULT hr;
    ComRef<IAction> action;
    {
        ComRef<IActionCollection> actions;
        if (FAILED(definition->get_Actions(actions.put())) || !actions) {
            logWithLastError(kError, MessageCode::Task2CreateGetActionsFailed);
            return false;
        }
        hr = actions->Create(TASK_ACTION_EXEC, action.put());
    }
    if (FAILED(hr) || !action) {
        logWithLastError(kError, MessageCode::Task2CreateExecActionFailed);
        return false;
    }
    ComRef<IExecAction> exec;
    hr = action->QueryInterface(kIidExecAction, exec.putVoid());
    action.reset();
    if (FAILED(hr) || !exec) {
        logWithLastError(kError, MessageCode::Task2CreateNoExecAction);
        return false;
    }
    bool oom = false;
    return putText(platform, task.programPath().c_str(), MessageCode::Task2CreatePutPathFailed, oom,
                   [&](BSTR v) { return exec->put_Path(v); });
}

// A new task: its definition is made step by step, then registered; each step logs its own
// failure and the first one that fails ends the creation.
bool createTask(ScheduledTask& task, TaskPlatform& platform, ComRef<ITaskService>& service,
                ITaskFolder* folder) {
    ComRef<ITaskDefinition> definition;
    if (!newDefinition(service, definition)) return false;
    if (!putSettings(definition.get())) return false;
    if (!putRegistrationInfo(platform, definition.get())) return false;
    if (!addDailyTrigger(task, platform, definition.get())) return false;
    if (!addProgramAction(task, platform, definition.get())) return false;
    if (!registerDefinition(platform, folder, definition.get(),
                            MessageCode::Task2CreateRegisterFailed))
        return false;
    logCodeOnly(LogLevel::Info, MessageCode::Task2Created);
    return true;
}

// Connects the task service and opens the root folder; logs the code of the step that fails.
bool openRootFolder(TaskPlatform& platform, ComRef<ITaskService>& service,
                    ComRef<ITaskFolder>& folder, MessageCode createCode, MessageCode connectCode,
                    MessageCode folderCode) {
    if (FAILED(platform.createTaskService(service.put())) || !service) {
        logWithLastError(kError, createCode);
        return false;
    }
    VariantArg server, user, domain, password;
    if (FAILED(service->Connect(server.get(), user.get(), domain.get(), password.get()))) {
        logWithLastError(kError, connectCode);
        return false;
    }
    BstrArg root(platform, kTaskRootFolder);
    if (!root.ok()) {
        logOutOfMemory(kError, folderCode);
        return false;
    }
    if (FAILED(service->GetFolder(root.get(), folder.put())) || !folder) {
        logWithLastError(kError, folderCode);
        return false;
    }
    return true;
}

}  // namespace

bool ScheduledTask::registerWithScheduler2() {
    TaskPlatform& platform = *platform_;
    if (FAILED(platform.initializeMultithreaded())) {
        logWithLastError(kError, MessageCode::Task2CoInitializeFailed);
        return false;
    }
    ComSession session(platform);
    if (FAILED(platform.initializeSecurity())) {
        logWithLastError(kError, MessageCode::Task2CoInitializeSecurityFailed);
        return false;
    }
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    if (!openRootFolder(platform, service, folder, MessageCode::Task2CreateServiceFailed,
                        MessageCode::Task2ConnectFailed, MessageCode::Task2GetFolderFailed))
        return false;

    ComRef<IRegisteredTask> existing;
    {
        BstrArg name(platform, kTaskName);
        if (!name.ok()) {
            logOutOfMemory(kError, MessageCode::Task2GetFolderFailed);
            return false;
        }
        // Only whether a task came back decides between repair and creation.
        folder->GetTask(name.get(), existing.put());
    }
    if (existing) return repairTask(platform, existing, folder.get());
    return createTask(*this, platform, service, folder.get());
}

bool removeWithScheduler2(TaskPlatform& platform) {
    if (FAILED(platform.initializeMultithreaded())) {
        logWithLastError(kError, MessageCode::Task2RemoveCoInitializeFailed);
        return false;
    }
    ComSession session(platform);
    if (FAILED(platform.initializeSecurity())) {
        logWithLastError(kError, MessageCode::Task2RemoveCoInitializeSecurityFailed);
        return false;
    }
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    if (!openRootFolder(platform, service, folder, MessageCode::Task2RemoveCreateServiceFailed,
                        MessageCode::Task2RemoveConnectFailed,
                        MessageCode::Task2RemoveGetFolderFailed))
        return false;
    BstrArg name(platform, kTaskName);
    if (!name.ok()) return false;
    return folder->DeleteTask(name.get(), 0) == S_OK;
}

bool removeWithScheduler2() { return removeWithScheduler2(systemTaskPlatform()); }
