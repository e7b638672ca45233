#pragma once
// The Windows service "OrvaneVextraPlayerUpdateSvc" for one run: one update cycle per start.

// True after the service ran and stopped; false when the process cannot connect to the
// service control manager (started from a prompt or by the scheduled task).
bool runServiceDispatcher();
