// PLACEHOLDER: replaced by the service registration work. Links the entry point meanwhile.
#include "main/service_control.h"

#include <utility>

const wchar_t kServiceName[] = L"OrvaneVextraPlayerUpdateSvc";
const wchar_t kServiceDisplayName[] = L"Orvane Vextra Player Update Service";

ServiceControl::ServiceControl(std::wstring programPath, std::wstring serviceName,
                               std::wstring displayName)
    : programPath_(std::move(programPath)),
      serviceName_(std::move(serviceName)),
      displayName_(std::move(displayName)) {}

bool ServiceControl::install() { return false; }
bool ServiceControl::isInstalled() { return false; }
bool ServiceControl::createService() { return false; }
bool ServiceControl::updateConfig() { return false; }
bool ServiceControl::setDescription() { return false; }
bool ServiceControl::startService() { return false; }
bool ServiceControl::stopService() { return false; }
bool ServiceControl::deleteService() { return false; }
void deleteTask() {}
bool createDefaultTask(const std::wstring&) { return false; }
