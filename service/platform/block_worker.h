#pragma once
// One job at a time on a helper thread beside the caller: the caller posts a block of bytes,
// does its own work on the same block, and waits for the job before the block changes. Two
// digests of one stream of blocks then take the time of one on a machine with two cores.
#include <windows.h>

#include <cstddef>
#include <cstdint>

class BlockWorker {
public:
    using Job = void (*)(void* context, const uint8_t* data, size_t size);

    // Starts the helper; without one (no thread could be made), post() runs the job itself.
    BlockWorker(Job job, void* context);
    // Waits for a posted job, then ends the helper.
    ~BlockWorker();
    BlockWorker(const BlockWorker&) = delete;
    BlockWorker& operator=(const BlockWorker&) = delete;

    // The job on these bytes, which must stay as they are until wait() returns.
    void post(const uint8_t* data, size_t size);
    // Until the posted job has finished.
    void wait();

private:
    static DWORD WINAPI run(void* parameter);

    Job job_;
    void* context_;
    HANDLE go_ = nullptr;
    HANDLE done_ = nullptr;
    HANDLE thread_ = nullptr;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool quit_ = false;
    bool posted_ = false;
};
