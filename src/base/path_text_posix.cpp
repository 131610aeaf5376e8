// Paths on POSIX: UTF-8, and the input opened without waiting on a pipe.
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "base/path_text.h"

namespace quenvale {

size_t PathBytesPerUnit() { return 3; }

bool EncodePathText(const char16_t* path, char* text, size_t capacity) {
    (void)capacity;  // 3 bytes a unit always suffice
    return EncodeUtf8(path, text);
}

FILE* OpenInputPath(const char16_t* widePath, const char* convertedPath) {
    (void)widePath;
    if (convertedPath == nullptr) {
        return nullptr;
    }
    // Opening a pipe for reading waits for a writer, unless asked not to.
    int descriptor = open(convertedPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    int flags = fcntl(descriptor, F_GETFL);
    FILE* stream = flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1
                       ? nullptr
                       : fdopen(descriptor, "rb");
    if (stream == nullptr) {
        int error = errno;
        close(descriptor);
        errno = error;
    }
    return stream;
}

}  // namespace quenvale
