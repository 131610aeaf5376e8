// File lengths and positions on Windows, in 64 bits.
#include <sys/stat.h>
#include <sys/types.h>

#include "base/file_io.h"

namespace quenvale {

bool RegularFileLength(FILE* file, uint64_t* length) {
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || status.st_size < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(status.st_size);
    return true;
}

bool SeekFile(FILE* file, uint64_t position) {
    return position <= static_cast<uint64_t>(INT64_MAX) && _fseeki64(file, static_cast<int64_t>(position), SEEK_SET) == 0;
}

}  // namespace quenvale
