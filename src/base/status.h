// The engine's error model: every failing operation of the library hands up
// a Failure that says what went wrong (its Status), why (a Reason from one
// table of texts) and, where a system call failed, the system's error
// number taken as that call returned. The exported call's result codes and
// console texts are derived from it at the edge, and the host prints its
// reasons from the same table; the picture codecs, outside the library,
// report a PictureError of their own.
#ifndef QUENVALE_STATUS_H
#define QUENVALE_STATUS_H

#include <cstddef>
#include <cstdint>

namespace quenvale {

enum Status : uint8_t {
    StatusOk,
    StatusBadInput,           // refused: damaged, or no bitmap at all
    StatusUnsupported,        // refused: a bitmap in a form that is not read
    StatusInputOpenFailed,    // the system would not open the input
    StatusInputReadFailed,    // a read of the input failed or came short
    StatusOutputOpenFailed,   // the system would not open the output
    StatusOutputWriteFailed,  // a write, flush, close or rename failed, or no temporary could be made
    StatusOutOfMemory,
    StatusPathTooShort,       // the exported call's rule: an input path of fewer than 10 bytes
    StatusInterrupted,        // a job stopped when asked (Ctrl-C, a cancel); never the exported call's
};

// Each reason's text is in the table of status.cpp; the comment gives the
// numbers it shows.
enum Reason : uint8_t {
    ReasonNone,
    ReasonShortFile,          // the file's length
    ReasonNotBitmap,
    ReasonHeaderSize,         // the information header's size
    ReasonBitsPerPixel,       // the depth
    ReasonRle8Depth,          // the depth
    ReasonRle4Depth,          // the depth
    ReasonOs2Rle24,
    ReasonJpeg,
    ReasonOs2Huffman,
    ReasonPng,
    ReasonCompression,        // the method
    ReasonBitFieldsDepth,     // the depth
    ReasonOffsetInHeaders,    // the offset
    ReasonOffsetPastEnd,      // the offset
    ReasonUnusableMasks,      // red, green and blue masks
    ReasonHeight,             // the height, signed
    ReasonWidth,              // the width, signed
    ReasonTopDownRle,
    ReasonTooManyToCount,     // width and height
    ReasonNoPalette,
    ReasonTruncated,
    ReasonTooLarge,           // the bytes of pixel data
    ReasonNotRegular,
    ReasonReadError,
    ReasonRleTooSparse,       // the stream's bytes, width and height
    ReasonResultTooLarge,     // the bytes of the result's pixel data
    ReasonLinkInSharedFolder,
    ReasonNewLayoutInPlace,
    // The texts of failures that have no reason of their own, for the host
    // where the system gave no error number.
    ReasonOpenFailed,
    ReasonOpenForWritingFailed,
    ReasonWriteError,
    ReasonOutOfMemory,
    ReasonPathTooShort,
};

struct Failure {
    Status status;
    Reason reason;
    int systemError;    // 0 when no system call failed
    int64_t values[3];  // the numbers the reason's text shows
    const char* name;   // the name it shows, where it shows one
};

// A refusal or other failure with a reason; a failure of a system call,
// with errno as that call left it.
Failure FailWith(Status status, Reason reason, int64_t first = 0, int64_t second = 0, int64_t third = 0);
Failure FailWithErrno(Status status);

// The reason's text, within size bytes (NUL included); the status's own
// text for a failure without a reason.
void FormatReason(const Failure& failure, char* text, size_t size);
// The longest text FormatReason writes.
constexpr size_t kReasonTextBytes = 192;

}  // namespace quenvale

#endif
