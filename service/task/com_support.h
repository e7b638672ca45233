#pragma once
// Small owners for COM references, BSTR and VARIANT arguments and the COM initialisation of
// one operation. Everything a scheduled-task operation holds is released on every way out,
// references before the COM run time is uninitialised.
#include "task/task_platform.h"

#include <utility>

template <class T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    // Out-parameter slot; whatever was held is released first.
    T** put() {
        reset();
        return &ptr_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    void reset() {
        if (ptr_) {
            T* old = ptr_;
            ptr_ = nullptr;
            old->Release();
        }
    }

private:
    T* ptr_ = nullptr;
};

// A BSTR made for one call and freed after it.
class BstrArg {
public:
    BstrArg(TaskPlatform& platform, const wchar_t* text)
        : platform_(platform), value_(platform.allocString(text)) {}
    ~BstrArg() {
        if (value_) platform_.freeString(value_);
    }
    BstrArg(const BstrArg&) = delete;
    BstrArg& operator=(const BstrArg&) = delete;

    bool ok() const { return value_ != nullptr; }
    BSTR get() const { return value_; }

private:
    TaskPlatform& platform_;
    BSTR value_;
};

// A VARIANT argument: empty, or holding a BSTR that this object frees.
class VariantArg {
public:
    VariantArg() { VariantInit(&value_); }
    VariantArg(TaskPlatform& platform, const wchar_t* text) : platform_(&platform) {
        VariantInit(&value_);
        BSTR text_value = platform.allocString(text);
        if (text_value) {
            value_.vt = VT_BSTR;
            value_.bstrVal = text_value;
        } else {
            failed_ = true;
        }
    }
    ~VariantArg() {
        if (value_.vt == VT_BSTR && value_.bstrVal && platform_) platform_->freeString(value_.bstrVal);
    }
    VariantArg(const VariantArg&) = delete;
    VariantArg& operator=(const VariantArg&) = delete;

    bool ok() const { return !failed_; }
    const VARIANT& get() const { return value_; }

private:
    TaskPlatform* platform_ = nullptr;
    VARIANT value_;
    bool failed_ = false;
};

// Calls TaskPlatform::uninitialize when it goes out of scope, once COM was initialised.
class ComSession {
public:
    explicit ComSession(TaskPlatform& platform) : platform_(platform) {}
    ~ComSession() { platform_.uninitialize(); }
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;

private:
    TaskPlatform& platform_;
};
