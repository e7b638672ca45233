#pragma once
// The seam between the scheduled-task code and the COM run time: initialisation, creation of
// the two scheduler objects, BSTR allocation and the secure random source. The program uses
// systemTaskPlatform(); tests hand in a platform whose objects record what is done to them.
#include <windows.h>
#include <oleauto.h>
#include <mstask.h>
#include <taskschd.h>

#include <cstdint>

class TaskPlatform {
public:
    virtual ~TaskPlatform() = default;

    // CoInitializeEx(null, COINIT_MULTITHREADED): the Task Scheduler 2.0 paths.
    virtual HRESULT initializeMultithreaded();
    // CoInitialize(null): the Task Scheduler 1.0 paths.
    virtual HRESULT initializeApartment();
    // CoInitializeSecurity with packet privacy and impersonation, capabilities none.
    virtual HRESULT initializeSecurity();
    virtual void uninitialize();

    virtual HRESULT createTaskService(ITaskService** service);
    virtual HRESULT createTaskScheduler(ITaskScheduler** scheduler);

    // SysAllocString; a null result for a non-null text means memory ran out.
    virtual BSTR allocString(const wchar_t* text);
    virtual void freeString(BSTR text);

    // One 32-bit number from the C runtime's cryptographically secure source (rand_s).
    virtual bool drawRandom(uint32_t& value);
};

TaskPlatform& systemTaskPlatform();
