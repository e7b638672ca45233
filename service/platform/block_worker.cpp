// The helper thread of BlockWorker: the events order every access to the posted block.
#include "platform/block_worker.h"

BlockWorker::BlockWorker(Job job, void* context) : job_(job), context_(context) {
    go_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (go_ && done_) thread_ = CreateThread(nullptr, 0, &BlockWorker::run, this, 0, nullptr);
}

BlockWorker::~BlockWorker() {
    const DWORD error = GetLastError();
    wait();
    if (thread_) {
        quit_ = true;
        SetEvent(go_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (go_) CloseHandle(go_);
    if (done_) CloseHandle(done_);
    SetLastError(error);
}

DWORD WINAPI BlockWorker::run(void* parameter) {
    BlockWorker* self = static_cast<BlockWorker*>(parameter);
    for (;;) {
        WaitForSingleObject(self->go_, INFINITE);
        if (self->quit_) return 0;
        self->job_(self->context_, self->data_, self->size_);
        SetEvent(self->done_);
    }
}

void BlockWorker::post(const uint8_t* data, size_t size) {
    wait();
    if (!thread_) {
        job_(context_, data, size);
        return;
    }
    data_ = data;
    size_ = size;
    posted_ = true;
    SetEvent(go_);
}

void BlockWorker::wait() {
    if (!posted_) return;
    WaitForSingleObject(done_, INFINITE);
    posted_ = false;
}
