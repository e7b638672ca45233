#pragma once
// Every call to the service control manager for the one service this program is.
#include <string>

extern const wchar_t kServiceName[];         // L"OrvaneVextraPlayerUpdateSvc"
extern const wchar_t kServiceDisplayName[];  // L"Orvane Vextra Player Update Service"

// The command line the service control manager starts: the program path, in quotes when it
// holds a space. Unquoted, "C:\Program Files\X\svc.exe" would first be tried as
// "C:\Program.exe" with the service's LocalSystem rights.
std::wstring serviceBinaryPath(const std::wstring& programPath);

class ServiceControl {
public:
    ServiceControl(std::wstring programPath, std::wstring serviceName, std::wstring displayName);

    bool install();
    bool isInstalled();
    bool createService();
    bool updateConfig();
    bool setDescription();
    bool startService();
    bool stopService();
    bool deleteService();

    const std::wstring& programPath() const { return programPath_; }
    const std::wstring& serviceName() const { return serviceName_; }
    const std::wstring& displayName() const { return displayName_; }

private:
    std::wstring programPath_;
    std::wstring serviceName_;
    std::wstring displayName_;
};

// "-deleteTask": clears the registry state, removes the parts cut downloads left (no start
// resumes them without the task) and removes the scheduled task.
void deleteTask();
// "-createDefaultTask": resets the registry state and registers the hourly task.
bool createDefaultTask(const std::wstring& programPath);
