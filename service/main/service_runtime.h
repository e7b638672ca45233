#pragma once
// The Windows service "OrvaneVextraPlayerUpdateSvc" for one run: one update cycle per start.
#include <windows.h>

#include <cstdint>

// True after the service ran and stopped; false when the process cannot connect to the
// service control manager (started from a prompt or by the scheduled task).
bool runServiceDispatcher();

// The service entry named in the dispatch table; its arguments are not used.
void WINAPI serviceMain(DWORD argc, LPWSTR* argv);
// Control handler: logs every control (an information line, so only while verbose logging is
// on); a stop or shutdown is reported as STOP_PENDING with the wait hint kStopWaitHintMs and
// raises the stop signal, which ends a download under way (the rest of the cycle still runs,
// and starts no installer).
void WINAPI serviceControlHandler(DWORD control);
// The service's work on the thread of serviceMain: running, one update cycle, stopped.
void serviceWorker();
// Fills the shared status record for a new state and hands it to the service control manager;
// one report at a time from either thread, and none after SERVICE_STOPPED.
void reportServiceStatus(DWORD state, DWORD waitHint);

// How long the service control manager is told to wait for the next sign of life once a stop
// is pending: a download ends at its next block, the part of a resumed package may still be
// read back, hashed and written (each block reports a checkpoint), and a verification is one
// call.
constexpr DWORD kStopWaitHintMs = 30 * 1000;
// One more STOP_PENDING report with the next checkpoint (the reporter serviceMain registers
// for noteStopProgress); nothing once SERVICE_STOPPED was reported.
void reportStopProgress();

// Pure part of a status report: the fields that depend on the new state. The checkpoint
// counter starts at 1, is used (and then raised) by every pending state, and is never reset.
void fillServiceStatus(SERVICE_STATUS& record, uint32_t& checkpointCounter, DWORD state,
                       DWORD waitHint);

// Where the status reports go. SetServiceStatus with the registered handle by default;
// tests may route them elsewhere to look at the exact sequence.
using ServiceStatusSink = void (*)(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& record);
void setServiceStatusSinkForTesting(ServiceStatusSink sink);
// Returns the shared status record, counter and stop signal to their start values (for tests).
void resetServiceRuntimeStateForTesting();
