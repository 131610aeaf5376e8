// File access in 64-bit positions on every target, whole reads and writes,
// and the countdown that fails one write step of a call for tests.
#ifndef QUENVALE_FILE_IO_H
#define QUENVALE_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/status.h"

namespace quenvale {

// False for a directory, a pipe or a device: they have no length.
bool RegularFileLength(FILE* file, uint64_t* length);
bool SeekFile(FILE* file, uint64_t position);
bool ReadBytes(FILE* file, void* buffer, size_t count);
bool WriteBytes(FILE* file, const void* buffer, size_t count);
bool WriteZeros(FILE* file, uint64_t count);
// Copies count bytes of input from start. On failure fills *failure: a read
// that failed or came short, or a write that failed.
bool CopyFileBytes(FILE* input, uint64_t start, uint64_t count, FILE* output, Failure* failure);
// Makes the write step (a write, flush, close or rename of the output) that
// many steps from now fail with ENOSPC, for testing; negative turns it off.
void SetFileFailureCountdown(int64_t countdown);
// Consumed by every write step: whether this one is made to fail.
bool FileStepFails();

}  // namespace quenvale

#endif
