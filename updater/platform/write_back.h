// Asking the system to start writing a file's recent bytes to disk, without waiting for it, so
// that the flush before the commit does not wait for a whole large download at once.
#pragma once

#include <cstdint>

namespace fileutil {

// Starts the write-back of `length` bytes at `offset` of the open file `fd` and returns at once.
// A hint: nothing fails when the system has no such call.
//   Linux: sync_file_range(SYNC_FILE_RANGE_WRITE).  Elsewhere, Windows included (it has only the
//   waiting FlushFileBuffers): nothing.
void startWriteBack(int fd, std::int64_t offset, std::int64_t length);

// Writes the data of the open file `fd` to disk and waits for it, so that a rename of the file
// recorded afterwards never reaches the disk before its bytes do. False when the flush fails.
//   POSIX: fdatasync.  Windows: FlushFileBuffers on the descriptor's handle.
bool flushData(int fd);

}  // namespace fileutil
