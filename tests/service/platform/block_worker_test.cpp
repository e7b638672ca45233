// The helper that runs one job per block beside the caller: every block reaches the job once,
// in order, and the caller's own work on the block runs meanwhile.
#include <gtest/gtest.h>

#include <vector>

#include "platform/block_worker.h"

namespace {

struct Seen {
    std::vector<uint8_t> bytes;
    DWORD thread = 0;
};

void record(void* context, const uint8_t* data, size_t size) {
    Seen* seen = static_cast<Seen*>(context);
    seen->bytes.insert(seen->bytes.end(), data, data + size);
    seen->thread = GetCurrentThreadId();
}

}  // namespace

TEST(BlockWorker, EveryBlockReachesTheJobOnceInOrderOnItsOwnThread) {
    Seen seen;
    std::vector<uint8_t> expected;
    {
        BlockWorker worker(&record, &seen);
        uint8_t block[300];
        for (int round = 0; round < 50; ++round) {
            for (size_t i = 0; i < sizeof(block); ++i) block[i] = static_cast<uint8_t>(round * 7 + i);
            worker.post(block, sizeof(block) - round);
            expected.insert(expected.end(), block, block + sizeof(block) - round);
            worker.wait();  // the block may change only now
        }
        worker.post(block, 3);  // the last one is waited for when the worker goes
        expected.insert(expected.end(), block, block + 3);
    }
    EXPECT_EQ(seen.bytes, expected);
    EXPECT_NE(seen.thread, GetCurrentThreadId());
}
