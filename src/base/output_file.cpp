// What both platforms' output files share: the close that often is the
// write that fails.
#include <cerrno>

#include "base/file_io.h"
#include "base/output_file.h"

namespace quenvale {

bool CloseOutputStream(FILE** stream, bool written, Failure* failure) {
    // A full disk often shows only when the last buffered bytes are written.
    bool closeFails = FileStepFails();
    int closeError = errno;
    if (std::fclose(*stream) != 0) {
        closeFails = true;
        closeError = errno;
    }
    *stream = nullptr;
    if (closeFails && written) {
        *failure = FailWith(StatusOutputWriteFailed, ReasonNone);
        failure->systemError = closeError;
    }
    return written && !closeFails;
}

}  // namespace quenvale
