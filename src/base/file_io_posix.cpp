// File lengths and positions on POSIX, in 64 bits on every target.
#include <sys/stat.h>
#include <sys/types.h>

#include "base/file_io.h"

namespace quenvale {

bool RegularFileLength(FILE* file, uint64_t* length) {
    // A directory or a pipe opens for reading on POSIX but has no length.
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(status.st_size);
    return true;
}

bool SeekFile(FILE* file, uint64_t position) {
    // Built with 64-bit off_t on 32-bit targets.
    static_assert(sizeof(off_t) == 8, "off_t must be 64-bit");
    return position <= static_cast<uint64_t>(INT64_MAX) && fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

}  // namespace quenvale
