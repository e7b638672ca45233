#define _CRT_RAND_S
#include "task/task_platform.h"

#include <stdlib.h>

#include "task/scheduled_task.h"

HRESULT TaskPlatform::initializeMultithreaded() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

HRESULT TaskPlatform::initializeApartment() { return CoInitialize(nullptr); }

HRESULT TaskPlatform::initializeSecurity() {
    return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

void TaskPlatform::uninitialize() { CoUninitialize(); }

HRESULT TaskPlatform::createTaskService(ITaskService** service) {
    return CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskService,
                            reinterpret_cast<void**>(service));
}

HRESULT TaskPlatform::createTaskScheduler(ITaskScheduler** scheduler) {
    return CoCreateInstance(kClsidCTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskScheduler,
                            reinterpret_cast<void**>(scheduler));
}

BSTR TaskPlatform::allocString(const wchar_t* text) { return SysAllocString(text); }

void TaskPlatform::freeString(BSTR text) { SysFreeString(text); }

bool TaskPlatform::drawRandom(uint32_t& value) {
    unsigned int number = 0;
    if (rand_s(&number) != 0) return false;
    value = number;
    return true;
}

TaskPlatform& systemTaskPlatform() {
    static TaskPlatform platform;
    return platform;
}
