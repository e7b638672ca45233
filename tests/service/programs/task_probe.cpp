// Test probe: runs one scheduled-task operation in a process of its own (COM security can be
// initialised only once per process) and prints what it finds as key=value lines.
//   task_probe register <program path>    registerScheduledTask (version from Windows)
//   task_probe register1|register2 <path> the 1.0 or 2.0 registration
//   task_probe remove1|remove2            the 1.0 or 2.0 removal
//   task_probe version                    the scheduler version chosen for this Windows
//   task_probe show1                      the saved task read back through Task Scheduler 1.0
//   task_probe bare1                      saves the task through 1.0 with no trigger at all
//   task_probe bare2                      registers the task through 2.0 with no trigger
//   task_probe interval1 <minutes>        sets the saved task's first trigger interval (1.0)
// Info and warning lines of the service log are on; the log goes below the working directory.
#include <windows.h>
#include <mstask.h>
#include <taskschd.h>

#include <cstdio>
#include <string>

#include "log/service_log.h"
#include "task/com_support.h"
#include "task/scheduled_task.h"

namespace {

void printWide(const char* key, const wchar_t* value) {
    std::string out;
    if (value) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
        out.assign(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, value, -1, &out[0], n, nullptr, nullptr);
    }
    std::printf("%s=%s\n", key, out.c_str());
}

void printTaskString(const char* key, HRESULT hr, LPWSTR value) {
    if (SUCCEEDED(hr)) {
        printWide(key, value);
        CoTaskMemFree(value);
    } else {
        std::printf("%s=<0x%08lx>\n", key, static_cast<unsigned long>(hr));
    }
}

// The 1.0 task's texts, each printed as key=value (or key=<HRESULT> when it cannot be read).
struct TaskText {
    const char* key;
    HRESULT (STDMETHODCALLTYPE ITask::*get)(LPWSTR*);
};
const TaskText kTaskTexts[] = {
    {"application", &ITask::GetApplicationName},
    {"parameters", &ITask::GetParameters},
    {"workingDirectory", &ITask::GetWorkingDirectory},
    {"creator", &ITask::GetCreator},
    {"comment", &ITask::GetComment},
    {"account", &ITask::GetAccountInformation},
};

int show1() {
    CoInitialize(nullptr);
    int rc = 1;
    {
        ComRef<ITaskScheduler> scheduler;
        CoCreateInstance(kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskScheduler,
                         scheduler.putVoid());
        ComRef<ITask> task;
        HRESULT hr = scheduler ? scheduler->Activate(kTaskName, kIidTask, reinterpret_cast<IUnknown**>(task.put()))
                               : E_FAIL;
        std::printf("activate=0x%08lx\n", static_cast<unsigned long>(hr));
        if (SUCCEEDED(hr) && task) {
            rc = 0;
            for (const TaskText& field : kTaskTexts) {
                LPWSTR text = nullptr;
                hr = (task.get()->*field.get)(&text);
                printTaskString(field.key, hr, text);
            }
            DWORD flags = 0;
            hr = task->GetFlags(&flags);
            std::printf("flags=%lu\n", SUCCEEDED(hr) ? static_cast<unsigned long>(flags) : 0xFFFFFFFFul);
            WORD count = 0;
            task->GetTriggerCount(&count);
            std::printf("triggers=%u\n", count);
            for (WORD i = 0; i < count; ++i) {
                ComRef<ITaskTrigger> trigger;
                if (FAILED(task->GetTrigger(i, trigger.put()))) continue;
                TASK_TRIGGER t = {};
                t.cbTriggerSize = sizeof t;
                trigger->GetTrigger(&t);
                std::printf("trigger%u=type %d begin %u-%u-%u start %u:%u duration %lu interval %lu "
                            "flags %lu days %u\n",
                            i, static_cast<int>(t.TriggerType), t.wBeginYear, t.wBeginMonth, t.wBeginDay,
                            t.wStartHour, t.wStartMinute, static_cast<unsigned long>(t.MinutesDuration),
                            static_cast<unsigned long>(t.MinutesInterval), static_cast<unsigned long>(t.rgFlags),
                            t.Type.Daily.DaysInterval);
            }
        }
    }
    CoUninitialize();
    return rc;
}

int bare1() {
    CoInitialize(nullptr);
    HRESULT hr = E_FAIL;
    {
        ComRef<ITaskScheduler> scheduler;
        CoCreateInstance(kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskScheduler,
                         scheduler.putVoid());
        ComRef<ITask> task;
        if (scheduler)
            hr = scheduler->NewWorkItem(kTaskName, kClsidCTask, kIidTask, reinterpret_cast<IUnknown**>(task.put()));
        if (SUCCEEDED(hr)) hr = task->SetApplicationName(L"C:\\windows\\notepad.exe");
        ComRef<IPersistFile> file;
        if (SUCCEEDED(hr)) hr = task->QueryInterface(kIidPersistFile, file.putVoid());
        if (SUCCEEDED(hr)) hr = file->Save(nullptr, TRUE);
    }
    CoUninitialize();
    std::printf("saved=0x%08lx\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
}

int bare2() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = E_FAIL;
    {
        TaskPlatform& platform = systemTaskPlatform();
        ComRef<ITaskService> service;
        hr = platform.createTaskService(service.put());
        VariantArg empty;
        if (SUCCEEDED(hr)) hr = service->Connect(empty.get(), empty.get(), empty.get(), empty.get());
        ComRef<ITaskFolder> folder;
        BstrArg root(platform, L"\\");
        if (SUCCEEDED(hr)) hr = service->GetFolder(root.get(), folder.put());
        ComRef<ITaskDefinition> definition;
        if (SUCCEEDED(hr)) hr = service->NewTask(0, definition.put());
        BstrArg name(platform, kTaskName);
        VariantArg user(platform, L"SYSTEM");
        VariantArg sddl(platform, L"");
        ComRef<IRegisteredTask> registered;
        if (SUCCEEDED(hr))
            hr = folder->RegisterTaskDefinition(name.get(), definition.get(), TASK_CREATE_OR_UPDATE, user.get(),
                                                empty.get(), TASK_LOGON_INTERACTIVE_TOKEN, sddl.get(),
                                                registered.put());
    }
    CoUninitialize();
    std::printf("registered=0x%08lx\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
}

int interval1(int minutes) {
    CoInitialize(nullptr);
    HRESULT hr = E_FAIL;
    {
        ComRef<ITaskScheduler> scheduler;
        CoCreateInstance(kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskScheduler,
                         scheduler.putVoid());
        ComRef<ITask> task;
        if (scheduler) hr = scheduler->Activate(kTaskName, kIidTask, reinterpret_cast<IUnknown**>(task.put()));
        ComRef<ITaskTrigger> trigger;
        if (SUCCEEDED(hr)) hr = task->GetTrigger(0, trigger.put());
        TASK_TRIGGER t = {};
        t.cbTriggerSize = sizeof t;
        if (SUCCEEDED(hr)) hr = trigger->GetTrigger(&t);
        t.MinutesInterval = static_cast<DWORD>(minutes);
        if (SUCCEEDED(hr)) hr = trigger->SetTrigger(&t);
        ComRef<IPersistFile> file;
        if (SUCCEEDED(hr)) hr = task->QueryInterface(kIidPersistFile, file.putVoid());
        if (SUCCEEDED(hr)) hr = file->Save(nullptr, TRUE);
    }
    CoUninitialize();
    std::printf("saved=0x%08lx\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ServiceLog::setVerbose(true);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const std::wstring path = argc > 2 ? argv[2] : L"C:\\windows\\VextraPlayerUpdateService.exe";
    if (command == L"version") {
        std::printf("version=%d\n", static_cast<int>(currentSchedulerVersion()));
        return 0;
    }
    if (command == L"register") {
        const bool ok = registerScheduledTask(path);
        std::printf("result=%d\n", ok ? 1 : 0);
        return 0;
    }
    if (command == L"register1" || command == L"register2") {
        ScheduledTask task(path, command == L"register1" ? 1 : 2, systemTaskPlatform());
        std::printf("result=%d\n", task.registerTask() ? 1 : 0);
        return 0;
    }
    if (command == L"remove1") {
        std::printf("result=%d\n", removeWithScheduler1() ? 1 : 0);
        return 0;
    }
    if (command == L"remove2") {
        std::printf("result=%d\n", removeWithScheduler2() ? 1 : 0);
        return 0;
    }
    if (command == L"show1") return show1();
    if (command == L"bare1") return bare1();
    if (command == L"bare2") return bare2();
    if (command == L"interval1") return interval1(argc > 2 ? _wtoi(argv[2]) : 0);
    std::printf("unknown command\n");
    return 2;
}
