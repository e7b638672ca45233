#pragma once
// Recording stand-ins for the Task Scheduler 2.0 and 1.0 COM objects and for the COM run time.
// Every call that the registration and removal code makes is recorded as
// "Interface::method(arguments)"; a test can make any call fail with a chosen status and
// GetLastError value, and sees whether every object was released before CoUninitialize.
#include <windows.h>
#include <oleauto.h>
#include <mstask.h>
#include <taskschd.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/scratch_folder.h"
#include "task/scheduled_task.h"
#include "task/task_platform.h"

namespace fake2 {

struct Failure {
    HRESULT status;
    DWORD lastError;
    int times = -1;  // how many calls fail; -1: every call
};

struct Recorder {
    std::vector<std::string> calls;
    std::map<std::string, Failure> failures;  // keyed by "Interface::method"
    int live = 0;                             // fake objects not yet released
    int liveAtUninitialize = -1;
    bool taskExists = false;                  // GetTask finds the task
    LONG triggerCount = 1;                    // of an existing task
    int stringsAllocated = 0;
    int stringsFreed = 0;
    int failAllocationNumber = 0;             // 1-based allocation that runs out of memory
    std::deque<bool> randomDraws;             // true: draw succeeds with the next value
    std::deque<uint32_t> randomValues;
    TASK_TRIGGER existingTrigger = {};         // what a 1.0 task's first trigger holds

    HRESULT hit(const std::string& name, const std::string& args = std::string()) {
        calls.push_back(args.empty() ? name : name + "(" + args + ")");
        auto it = failures.find(name);
        if (it == failures.end()) return S_OK;
        const Failure failure = it->second;
        if (failure.times > 0 && --it->second.times == 0) failures.erase(it);
        SetLastError(failure.lastError);
        return failure.status;
    }
    HRESULT unexpected(const char* name) {
        calls.push_back(std::string("UNEXPECTED ") + name);
        return E_NOTIMPL;
    }
    void fail(const std::string& name, HRESULT status = E_FAIL, DWORD lastError = 0) {
        failures[name] = Failure{status, lastError};
    }
    void failTimes(const std::string& name, int times, HRESULT status) { failures[name] = Failure{status, 0, times}; }
    // Position of the first call of "Interface::method", or, when `what` holds arguments too,
    // of the first call that starts with it; -1 when there is none.
    int indexOf(const std::string& what) const {
        const bool withArguments = what.find('(') != std::string::npos;
        for (size_t i = 0; i < calls.size(); ++i) {
            const std::string& call = calls[i];
            const bool match = withArguments ? call.compare(0, what.size(), what) == 0
                                             : call.substr(0, call.find('(')) == what;
            if (match) return static_cast<int>(i);
        }
        return -1;
    }
};

inline std::string text(BSTR value) { return value ? testsupport::narrow(value) : std::string("<null>"); }

inline std::string variantText(const VARIANT& v) {
    if (v.vt == VT_EMPTY) return "empty";
    if (v.vt == VT_BSTR) return "'" + text(v.bstrVal) + "'";
    return "vt" + std::to_string(v.vt);
}

// IUnknown for one fake, counted as live until its last Release deletes it.
template <class I>
class FakeUnknown : public I {
public:
    explicit FakeUnknown(Recorder& recorder) : r_(recorder) { ++r_.live; }
    virtual ~FakeUnknown() { --r_.live; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || accepts(iid)) return grant(out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

protected:
    virtual bool accepts(REFIID) { return false; }
    HRESULT grant(void** out) {
        *out = static_cast<I*>(this);
        AddRef();
        return S_OK;
    }
    Recorder& r_;

private:
    ULONG refs_ = 1;
};

// IUnknown and IDispatch for one fake of the 2.0 interfaces.
template <class I>
class FakeObject : public FakeUnknown<I> {
public:
    explicit FakeObject(Recorder& recorder) : FakeUnknown<I>(recorder) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IDispatch)) return this->grant(out);
        return FakeUnknown<I>::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return this->r_.unexpected("GetTypeInfoCount"); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return this->r_.unexpected("GetTypeInfo");
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return this->r_.unexpected("GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return this->r_.unexpected("Invoke");
    }

protected:
    // A query for the interface `asked` is recorded as call(name), and fails when the test
    // makes that call fail; any other query is answered as usual.
    HRESULT recordedQuery(REFIID iid, void** out, REFIID asked, const char* call, const char* name) {
        if (IsEqualIID(iid, asked)) {
            const HRESULT hr = this->r_.hit(call, name);
            if (FAILED(hr)) {
                *out = nullptr;
                return hr;
            }
        }
        return FakeObject::QueryInterface(iid, out);  // this class's own, not the caller's
    }
};

#define FAKE_UNUSED(name, ...) \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return r_.unexpected(#name); }

class FakeRepetitionPattern : public FakeObject<IRepetitionPattern> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE put_Interval(BSTR v) override { return r_.hit("IRepetitionPattern::put_Interval", text(v)); }
    HRESULT STDMETHODCALLTYPE put_Duration(BSTR v) override { return r_.hit("IRepetitionPattern::put_Duration", text(v)); }
    FAKE_UNUSED(get_Interval, BSTR*)
    FAKE_UNUSED(get_Duration, BSTR*)
    FAKE_UNUSED(get_StopAtDurationEnd, VARIANT_BOOL*)
    FAKE_UNUSED(put_StopAtDurationEnd, VARIANT_BOOL)
};

class FakeDailyTrigger : public FakeObject<IDailyTrigger> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return recordedQuery(iid, out, kIidDailyTrigger, "ITrigger::QueryInterface", "IDailyTrigger");
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR v) override { return r_.hit("IDailyTrigger::put_Id", text(v)); }
    HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR v) override {
        return r_.hit("IDailyTrigger::put_StartBoundary", text(v));
    }
    HRESULT STDMETHODCALLTYPE put_DaysInterval(short days) override {
        return r_.hit("IDailyTrigger::put_DaysInterval", std::to_string(days));
    }
    HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern** out) override {
        const HRESULT hr = r_.hit("ITrigger::get_Repetition");
        *out = SUCCEEDED(hr) ? new FakeRepetitionPattern(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(get_Type, TASK_TRIGGER_TYPE2*)
    FAKE_UNUSED(get_Id, BSTR*)
    FAKE_UNUSED(put_Repetition, IRepetitionPattern*)
    FAKE_UNUSED(get_ExecutionTimeLimit, BSTR*)
    FAKE_UNUSED(put_ExecutionTimeLimit, BSTR)
    FAKE_UNUSED(get_StartBoundary, BSTR*)
    FAKE_UNUSED(get_EndBoundary, BSTR*)
    FAKE_UNUSED(put_EndBoundary, BSTR)
    FAKE_UNUSED(get_Enabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_Enabled, VARIANT_BOOL)
    FAKE_UNUSED(get_DaysInterval, short*)
    FAKE_UNUSED(get_RandomDelay, BSTR*)
    FAKE_UNUSED(put_RandomDelay, BSTR)

protected:
    bool accepts(REFIID iid) override { return IsEqualIID(iid, IID_ITrigger) || IsEqualIID(iid, kIidDailyTrigger); }
};

class FakeTriggerCollection : public FakeObject<ITriggerCollection> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        const HRESULT hr = r_.hit("ITriggerCollection::get_Count");
        *count = r_.triggerCount;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** out) override {
        const HRESULT hr = r_.hit("ITriggerCollection::get_Item", std::to_string(index));
        *out = SUCCEEDED(hr) ? new FakeDailyTrigger(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** out) override {
        const HRESULT hr = r_.hit("ITriggerCollection::Create", std::to_string(type));
        *out = SUCCEEDED(hr) ? new FakeDailyTrigger(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(get__NewEnum, IUnknown**)
    FAKE_UNUSED(Remove, VARIANT)
    FAKE_UNUSED(Clear)
};

class FakeExecAction : public FakeObject<IExecAction> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return recordedQuery(iid, out, kIidExecAction, "IAction::QueryInterface", "IExecAction");
    }
    HRESULT STDMETHODCALLTYPE put_Path(BSTR v) override { return r_.hit("IExecAction::put_Path", text(v)); }
    FAKE_UNUSED(get_Id, BSTR*)
    FAKE_UNUSED(put_Id, BSTR)
    FAKE_UNUSED(get_Type, TASK_ACTION_TYPE*)
    FAKE_UNUSED(get_Path, BSTR*)
    FAKE_UNUSED(get_Arguments, BSTR*)
    FAKE_UNUSED(put_Arguments, BSTR)
    FAKE_UNUSED(get_WorkingDirectory, BSTR*)
    FAKE_UNUSED(put_WorkingDirectory, BSTR)

protected:
    bool accepts(REFIID iid) override { return IsEqualIID(iid, IID_IAction) || IsEqualIID(iid, kIidExecAction); }
};

class FakeActionCollection : public FakeObject<IActionCollection> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** out) override {
        const HRESULT hr = r_.hit("IActionCollection::Create", std::to_string(type));
        *out = SUCCEEDED(hr) ? new FakeExecAction(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(get_Count, LONG*)
    FAKE_UNUSED(get_Item, LONG, IAction**)
    FAKE_UNUSED(get__NewEnum, IUnknown**)
    FAKE_UNUSED(get_XmlText, BSTR*)
    FAKE_UNUSED(put_XmlText, BSTR)
    FAKE_UNUSED(Remove, VARIANT)
    FAKE_UNUSED(Clear)
    FAKE_UNUSED(get_Context, BSTR*)
    FAKE_UNUSED(put_Context, BSTR)
};

class FakeTaskSettings : public FakeObject<ITaskSettings> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY v) override {
        return r_.hit("ITaskSettings::put_Compatibility", std::to_string(v));
    }
    HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL v) override {
        return r_.hit("ITaskSettings::put_DisallowStartIfOnBatteries", std::to_string(v));
    }
    HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL v) override {
        return r_.hit("ITaskSettings::put_RunOnlyIfNetworkAvailable", std::to_string(v));
    }
    FAKE_UNUSED(get_AllowDemandStart, VARIANT_BOOL*)
    FAKE_UNUSED(put_AllowDemandStart, VARIANT_BOOL)
    FAKE_UNUSED(get_RestartInterval, BSTR*)
    FAKE_UNUSED(put_RestartInterval, BSTR)
    FAKE_UNUSED(get_RestartCount, INT*)
    FAKE_UNUSED(put_RestartCount, INT)
    FAKE_UNUSED(get_MultipleInstances, TASK_INSTANCES_POLICY*)
    FAKE_UNUSED(put_MultipleInstances, TASK_INSTANCES_POLICY)
    FAKE_UNUSED(get_StopIfGoingOnBatteries, VARIANT_BOOL*)
    FAKE_UNUSED(put_StopIfGoingOnBatteries, VARIANT_BOOL)
    FAKE_UNUSED(get_DisallowStartIfOnBatteries, VARIANT_BOOL*)
    FAKE_UNUSED(get_AllowHardTerminate, VARIANT_BOOL*)
    FAKE_UNUSED(put_AllowHardTerminate, VARIANT_BOOL)
    FAKE_UNUSED(get_StartWhenAvailable, VARIANT_BOOL*)
    FAKE_UNUSED(put_StartWhenAvailable, VARIANT_BOOL)
    FAKE_UNUSED(get_XmlText, BSTR*)
    FAKE_UNUSED(put_XmlText, BSTR)
    FAKE_UNUSED(get_RunOnlyIfNetworkAvailable, VARIANT_BOOL*)
    FAKE_UNUSED(get_ExecutionTimeLimit, BSTR*)
    FAKE_UNUSED(put_ExecutionTimeLimit, BSTR)
    FAKE_UNUSED(get_Enabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_Enabled, VARIANT_BOOL)
    FAKE_UNUSED(get_DeleteExpiredTaskAfter, BSTR*)
    FAKE_UNUSED(put_DeleteExpiredTaskAfter, BSTR)
    FAKE_UNUSED(get_Priority, INT*)
    FAKE_UNUSED(put_Priority, INT)
    FAKE_UNUSED(get_Compatibility, TASK_COMPATIBILITY*)
    FAKE_UNUSED(get_Hidden, VARIANT_BOOL*)
    FAKE_UNUSED(put_Hidden, VARIANT_BOOL)
    FAKE_UNUSED(get_IdleSettings, IIdleSettings**)
    FAKE_UNUSED(put_IdleSettings, IIdleSettings*)
    FAKE_UNUSED(get_RunOnlyIfIdle, VARIANT_BOOL*)
    FAKE_UNUSED(put_RunOnlyIfIdle, VARIANT_BOOL)
    FAKE_UNUSED(get_WakeToRun, VARIANT_BOOL*)
    FAKE_UNUSED(put_WakeToRun, VARIANT_BOOL)
    FAKE_UNUSED(get_NetworkSettings, INetworkSettings**)
    FAKE_UNUSED(put_NetworkSettings, INetworkSettings*)
};

class FakeRegistrationInfo : public FakeObject<IRegistrationInfo> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE put_Author(BSTR v) override { return r_.hit("IRegistrationInfo::put_Author", text(v)); }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override {
        return r_.hit("IRegistrationInfo::put_Description", text(v));
    }
    FAKE_UNUSED(get_Description, BSTR*)
    FAKE_UNUSED(get_Author, BSTR*)
    FAKE_UNUSED(get_Version, BSTR*)
    FAKE_UNUSED(put_Version, BSTR)
    FAKE_UNUSED(get_Date, BSTR*)
    FAKE_UNUSED(put_Date, BSTR)
    FAKE_UNUSED(get_Documentation, BSTR*)
    FAKE_UNUSED(put_Documentation, BSTR)
    FAKE_UNUSED(get_XmlText, BSTR*)
    FAKE_UNUSED(put_XmlText, BSTR)
    FAKE_UNUSED(get_URI, BSTR*)
    FAKE_UNUSED(put_URI, BSTR)
    FAKE_UNUSED(get_SecurityDescriptor, VARIANT*)
    FAKE_UNUSED(put_SecurityDescriptor, VARIANT)
    FAKE_UNUSED(get_Source, BSTR*)
    FAKE_UNUSED(put_Source, BSTR)
};

class FakeTaskDefinition : public FakeObject<ITaskDefinition> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** out) override {
        const HRESULT hr = r_.hit("ITaskDefinition::get_RegistrationInfo");
        *out = SUCCEEDED(hr) ? new FakeRegistrationInfo(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** out) override {
        const HRESULT hr = r_.hit("ITaskDefinition::get_Triggers");
        *out = SUCCEEDED(hr) ? new FakeTriggerCollection(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** out) override {
        const HRESULT hr = r_.hit("ITaskDefinition::get_Settings");
        *out = SUCCEEDED(hr) ? new FakeTaskSettings(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** out) override {
        const HRESULT hr = r_.hit("ITaskDefinition::get_Actions");
        *out = SUCCEEDED(hr) ? new FakeActionCollection(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(put_RegistrationInfo, IRegistrationInfo*)
    FAKE_UNUSED(put_Triggers, ITriggerCollection*)
    FAKE_UNUSED(put_Settings, ITaskSettings*)
    FAKE_UNUSED(get_Data, BSTR*)
    FAKE_UNUSED(put_Data, BSTR)
    FAKE_UNUSED(get_Principal, IPrincipal**)
    FAKE_UNUSED(put_Principal, IPrincipal*)
    FAKE_UNUSED(put_Actions, IActionCollection*)
    FAKE_UNUSED(get_XmlText, BSTR*)
    FAKE_UNUSED(put_XmlText, BSTR)
};

class FakeRegisteredTask : public FakeObject<IRegisteredTask> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** out) override {
        const HRESULT hr = r_.hit("IRegisteredTask::get_Definition");
        *out = SUCCEEDED(hr) ? new FakeTaskDefinition(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(get_Name, BSTR*)
    FAKE_UNUSED(get_Path, BSTR*)
    FAKE_UNUSED(get_State, TASK_STATE*)
    FAKE_UNUSED(get_Enabled, VARIANT_BOOL*)
    FAKE_UNUSED(put_Enabled, VARIANT_BOOL)
    FAKE_UNUSED(Run, VARIANT, IRunningTask**)
    FAKE_UNUSED(RunEx, VARIANT, LONG, LONG, BSTR, IRunningTask**)
    FAKE_UNUSED(GetInstances, LONG, IRunningTaskCollection**)
    FAKE_UNUSED(get_LastRunTime, DATE*)
    FAKE_UNUSED(get_LastTaskResult, LONG*)
    FAKE_UNUSED(get_NumberOfMissedRuns, LONG*)
    FAKE_UNUSED(get_NextRunTime, DATE*)
    FAKE_UNUSED(get_Xml, BSTR*)
    FAKE_UNUSED(GetSecurityDescriptor, LONG, BSTR*)
    FAKE_UNUSED(SetSecurityDescriptor, BSTR, LONG)
    FAKE_UNUSED(Stop, LONG)
    FAKE_UNUSED(GetRunTimes, const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*)
};

class FakeTaskFolder : public FakeObject<ITaskFolder> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** out) override {
        HRESULT hr = r_.hit("ITaskFolder::GetTask", text(path));
        if (SUCCEEDED(hr) && !r_.taskExists) hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *out = SUCCEEDED(hr) ? new FakeRegisteredTask(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
        HRESULT hr = r_.hit("ITaskFolder::DeleteTask", text(name) + "," + std::to_string(flags));
        if (SUCCEEDED(hr) && !r_.taskExists) hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        if (hr == S_OK) r_.taskExists = false;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags,
                                                     VARIANT user, VARIANT password, TASK_LOGON_TYPE logon,
                                                     VARIANT sddl, IRegisteredTask** out) override {
        const HRESULT hr = r_.hit("ITaskFolder::RegisterTaskDefinition",
                                  text(path) + "," + (definition ? "definition" : "null") + ",flags=" +
                                      std::to_string(flags) + ",user=" + variantText(user) +
                                      ",password=" + variantText(password) +
                                      ",logon=" + std::to_string(logon) + ",sddl=" + variantText(sddl));
        if (SUCCEEDED(hr)) r_.taskExists = true;
        if (out) *out = SUCCEEDED(hr) ? new FakeRegisteredTask(r_) : nullptr;
        return hr;
    }
    FAKE_UNUSED(get_Name, BSTR*)
    FAKE_UNUSED(get_Path, BSTR*)
    FAKE_UNUSED(GetFolder, BSTR, ITaskFolder**)
    FAKE_UNUSED(GetFolders, LONG, ITaskFolderCollection**)
    FAKE_UNUSED(CreateFolder, BSTR, VARIANT, ITaskFolder**)
    FAKE_UNUSED(DeleteFolder, BSTR, LONG)
    FAKE_UNUSED(GetTasks, LONG, IRegisteredTaskCollection**)
    FAKE_UNUSED(RegisterTask, BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT, IRegisteredTask**)
    FAKE_UNUSED(GetSecurityDescriptor, LONG, BSTR*)
    FAKE_UNUSED(SetSecurityDescriptor, BSTR, LONG)
};

class FakeTaskService : public FakeObject<ITaskService> {
public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** out) override {
        const HRESULT hr = r_.hit("ITaskService::GetFolder", text(path));
        *out = SUCCEEDED(hr) ? new FakeTaskFolder(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** out) override {
        const HRESULT hr = r_.hit("ITaskService::NewTask", std::to_string(flags));
        *out = SUCCEEDED(hr) ? new FakeTaskDefinition(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
        return r_.hit("ITaskService::Connect", variantText(server) + "," + variantText(user) + "," +
                                                   variantText(domain) + "," + variantText(password));
    }
    FAKE_UNUSED(GetRunningTasks, LONG, IRunningTaskCollection**)
    FAKE_UNUSED(get_Connected, VARIANT_BOOL*)
    FAKE_UNUSED(get_TargetServer, BSTR*)
    FAKE_UNUSED(get_ConnectedUser, BSTR*)
    FAKE_UNUSED(get_ConnectedDomain, BSTR*)
    FAKE_UNUSED(get_HighestVersion, DWORD*)
};

// ---- Task Scheduler 1.0 ----

inline std::string wide(LPCWSTR value) { return value ? testsupport::narrow(value) : std::string("<null>"); }

inline std::string triggerText(const TASK_TRIGGER& t) {
    return "size " + std::to_string(t.cbTriggerSize) + " begin " + std::to_string(t.wBeginYear) + "-" +
           std::to_string(t.wBeginMonth) + "-" + std::to_string(t.wBeginDay) + " end " +
           std::to_string(t.wEndYear) + "-" + std::to_string(t.wEndMonth) + "-" + std::to_string(t.wEndDay) +
           " start " + std::to_string(t.wStartHour) + ":" + std::to_string(t.wStartMinute) + " duration " +
           std::to_string(t.MinutesDuration) + " interval " + std::to_string(t.MinutesInterval) + " flags " +
           std::to_string(t.rgFlags) + " type " + std::to_string(t.TriggerType) + " days " +
           std::to_string(t.Type.Daily.DaysInterval);
}

class FakePersistFile : public FakeUnknown<IPersistFile> {
public:
    using FakeUnknown::FakeUnknown;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, WINBOOL remember) override {
        return r_.hit("IPersistFile::Save", wide(name) + "," + std::to_string(remember));
    }
    FAKE_UNUSED(GetClassID, CLSID*)
    FAKE_UNUSED(IsDirty)
    FAKE_UNUSED(Load, LPCOLESTR, DWORD)
    FAKE_UNUSED(SaveCompleted, LPCOLESTR)
    FAKE_UNUSED(GetCurFile, LPOLESTR*)
};

class FakeTaskTrigger : public FakeUnknown<ITaskTrigger> {
public:
    using FakeUnknown::FakeUnknown;
    HRESULT STDMETHODCALLTYPE SetTrigger(const PTASK_TRIGGER t) override {
        return r_.hit("ITaskTrigger::SetTrigger", triggerText(*t));
    }
    HRESULT STDMETHODCALLTYPE GetTrigger(PTASK_TRIGGER t) override {
        const HRESULT hr = r_.hit("ITaskTrigger::GetTrigger", "size " + std::to_string(t->cbTriggerSize));
        if (SUCCEEDED(hr)) *t = r_.existingTrigger;
        return hr;
    }
    FAKE_UNUSED(GetTriggerString, LPWSTR*)
};

class FakeTask : public FakeUnknown<ITask> {
public:
    using FakeUnknown::FakeUnknown;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, kIidPersistFile)) {
            const HRESULT hr = r_.hit("ITask::QueryInterface", "IPersistFile");
            *out = SUCCEEDED(hr) ? static_cast<IPersistFile*>(new FakePersistFile(r_)) : nullptr;
            return hr;
        }
        return FakeUnknown::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE CreateTrigger(WORD* index, ITaskTrigger** out) override {
        const HRESULT hr = r_.hit("ITask::CreateTrigger");
        *index = 0;
        *out = SUCCEEDED(hr) ? new FakeTaskTrigger(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetTriggerCount(WORD* count) override {
        const HRESULT hr = r_.hit("ITask::GetTriggerCount");
        *count = static_cast<WORD>(r_.triggerCount);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetTrigger(WORD index, ITaskTrigger** out) override {
        const HRESULT hr = r_.hit("ITask::GetTrigger", std::to_string(index));
        *out = SUCCEEDED(hr) ? new FakeTaskTrigger(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SetComment(LPCWSTR v) override { return r_.hit("ITask::SetComment", wide(v)); }
    HRESULT STDMETHODCALLTYPE SetCreator(LPCWSTR v) override { return r_.hit("ITask::SetCreator", wide(v)); }
    HRESULT STDMETHODCALLTYPE SetFlags(DWORD v) override { return r_.hit("ITask::SetFlags", std::to_string(v)); }
    HRESULT STDMETHODCALLTYPE SetAccountInformation(LPCWSTR account, LPCWSTR password) override {
        return r_.hit("ITask::SetAccountInformation", "'" + wide(account) + "'," + wide(password));
    }
    HRESULT STDMETHODCALLTYPE SetApplicationName(LPCWSTR v) override {
        return r_.hit("ITask::SetApplicationName", wide(v));
    }
    FAKE_UNUSED(DeleteTrigger, WORD)
    FAKE_UNUSED(GetTriggerString, WORD, LPWSTR*)
    FAKE_UNUSED(GetRunTimes, const LPSYSTEMTIME, const LPSYSTEMTIME, WORD*, LPSYSTEMTIME*)
    FAKE_UNUSED(GetNextRunTime, SYSTEMTIME*)
    FAKE_UNUSED(SetIdleWait, WORD, WORD)
    FAKE_UNUSED(GetIdleWait, WORD*, WORD*)
    FAKE_UNUSED(Run)
    FAKE_UNUSED(Terminate)
    FAKE_UNUSED(EditWorkItem, HWND, DWORD)
    FAKE_UNUSED(GetMostRecentRunTime, SYSTEMTIME*)
    FAKE_UNUSED(GetStatus, HRESULT*)
    FAKE_UNUSED(GetExitCode, DWORD*)
    FAKE_UNUSED(GetComment, LPWSTR*)
    FAKE_UNUSED(GetCreator, LPWSTR*)
    FAKE_UNUSED(SetWorkItemData, WORD, BYTE*)
    FAKE_UNUSED(GetWorkItemData, WORD*, BYTE**)
    FAKE_UNUSED(SetErrorRetryCount, WORD)
    FAKE_UNUSED(GetErrorRetryCount, WORD*)
    FAKE_UNUSED(SetErrorRetryInterval, WORD)
    FAKE_UNUSED(GetErrorRetryInterval, WORD*)
    FAKE_UNUSED(GetFlags, DWORD*)
    FAKE_UNUSED(GetAccountInformation, LPWSTR*)
    FAKE_UNUSED(GetApplicationName, LPWSTR*)
    FAKE_UNUSED(SetParameters, LPCWSTR)
    FAKE_UNUSED(GetParameters, LPWSTR*)
    FAKE_UNUSED(SetWorkingDirectory, LPCWSTR)
    FAKE_UNUSED(GetWorkingDirectory, LPWSTR*)
    FAKE_UNUSED(SetPriority, DWORD)
    FAKE_UNUSED(GetPriority, DWORD*)
    FAKE_UNUSED(SetTaskFlags, DWORD)
    FAKE_UNUSED(GetTaskFlags, DWORD*)
    FAKE_UNUSED(SetMaxRunTime, DWORD)
    FAKE_UNUSED(GetMaxRunTime, DWORD*)
};

class FakeTaskScheduler : public FakeUnknown<ITaskScheduler> {
public:
    using FakeUnknown::FakeUnknown;
    HRESULT STDMETHODCALLTYPE Activate(LPCWSTR name, REFIID iid, IUnknown** out) override {
        HRESULT hr = r_.hit("ITaskScheduler::Activate", wide(name) + (IsEqualIID(iid, kIidTask) ? ",ITask" : ",?"));
        if (SUCCEEDED(hr) && !r_.taskExists) hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *out = SUCCEEDED(hr) ? new FakeTask(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE NewWorkItem(LPCWSTR name, REFCLSID clsid, REFIID iid, IUnknown** out) override {
        const HRESULT hr =
            r_.hit("ITaskScheduler::NewWorkItem", wide(name) + (IsEqualCLSID(clsid, kClsidCTask) ? ",CTask" : ",?") +
                                                      (IsEqualIID(iid, kIidTask) ? ",ITask" : ",?"));
        *out = SUCCEEDED(hr) ? new FakeTask(r_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        HRESULT hr = r_.hit("ITaskScheduler::Delete", wide(name));
        if (SUCCEEDED(hr) && !r_.taskExists) hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        if (hr == S_OK) r_.taskExists = false;
        return hr;
    }
    FAKE_UNUSED(SetTargetComputer, LPCWSTR)
    FAKE_UNUSED(GetTargetComputer, LPWSTR*)
    FAKE_UNUSED(Enum, IEnumWorkItems**)
    FAKE_UNUSED(AddWorkItem, LPCWSTR, IScheduledWorkItem*)
    FAKE_UNUSED(IsOfType, LPCWSTR, REFIID)
};

#undef FAKE_UNUSED

// The COM run time as the recorder sees it.
class FakePlatform : public TaskPlatform {
public:
    explicit FakePlatform(Recorder& recorder) : r_(recorder) {}

    HRESULT initializeMultithreaded() override { return r_.hit("CoInitializeEx", "COINIT_MULTITHREADED"); }
    HRESULT initializeApartment() override { return r_.hit("CoInitialize"); }
    HRESULT initializeSecurity() override { return r_.hit("CoInitializeSecurity"); }
    void uninitialize() override {
        r_.calls.push_back("CoUninitialize");
        r_.liveAtUninitialize = r_.live;
    }
    HRESULT createTaskService(ITaskService** out) override {
        const HRESULT hr = r_.hit("CoCreateInstance", "TaskScheduler");
        *out = SUCCEEDED(hr) ? new FakeTaskService(r_) : nullptr;
        return hr;
    }
    HRESULT createTaskScheduler(ITaskScheduler** out) override {
        const HRESULT hr = r_.hit("CoCreateInstance", "CTaskScheduler");
        *out = SUCCEEDED(hr) ? new FakeTaskScheduler(r_) : nullptr;
        return hr;
    }
    BSTR allocString(const wchar_t* value) override {
        ++allocations_;
        if (allocations_ == r_.failAllocationNumber) return nullptr;
        ++r_.stringsAllocated;
        return SysAllocString(value);
    }
    void freeString(BSTR value) override {
        ++r_.stringsFreed;
        SysFreeString(value);
    }
    bool drawRandom(uint32_t& value) override {
        if (r_.randomDraws.empty()) return TaskPlatform::drawRandom(value);
        const bool ok = r_.randomDraws.front();
        r_.randomDraws.pop_front();
        if (ok) {
            value = r_.randomValues.front();
            r_.randomValues.pop_front();
        }
        return ok;
    }

private:
    Recorder& r_;
    int allocations_ = 0;
};

}  // namespace fake2
