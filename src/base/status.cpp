// The table of reason texts, and the small formatter that fills in their
// numbers: "%0" to "%2" print values[0] to values[2] in decimal, "%X0" to
// "%X2" as eight hex digits, "%s" the name.
#include <cerrno>
#include <cstdio>

#include "base/status.h"

namespace quenvale {

namespace {

const char* const kReasonTexts[] = {
    "",                                                                        // ReasonNone
    "file of %0 bytes is shorter than a bitmap header",                        // ReasonShortFile
    "not a BMP file",                                                          // ReasonNotBitmap
    "unsupported information header of %0 bytes",                              // ReasonHeaderSize
    "%0 bits per pixel",                                                       // ReasonBitsPerPixel
    "RLE8 compression on %0 bits per pixel",                                   // ReasonRle8Depth
    "RLE4 compression on %0 bits per pixel",                                   // ReasonRle4Depth
    "OS/2 RLE24-compressed",                                                   // ReasonOs2Rle24
    "JPEG-compressed",                                                         // ReasonJpeg
    "OS/2 Huffman-compressed",                                                 // ReasonOs2Huffman
    "PNG-compressed",                                                          // ReasonPng
    "compressed pixel data (method %0)",                                       // ReasonCompression
    "bit fields on %0 bits per pixel",                                         // ReasonBitFieldsDepth
    "pixel data offset %0 lies inside the headers",                            // ReasonOffsetInHeaders
    "pixel data offset %0 past the end of the file",                           // ReasonOffsetPastEnd
    "unusable bit fields (red %X0, green %X1, blue %X2)",                      // ReasonUnusableMasks
    "height %0",                                                               // ReasonHeight
    "width %0",                                                                // ReasonWidth
    "top-down RLE-compressed rows",                                            // ReasonTopDownRle
    "%0 x %1 pixels, too many to count",                                       // ReasonTooManyToCount
    "colour palette of no entries",                                            // ReasonNoPalette
    "pixel data truncated",                                                    // ReasonTruncated
    "%0 bytes of pixel data, more than a bitmap holds (4 GiB - 1)",            // ReasonTooLarge
    "not a regular file",                                                      // ReasonNotRegular
    "read error",                                                              // ReasonReadError
    "%1 x %2 pixels from an RLE stream of %0 bytes, more than the filter decodes from so few",  // ReasonRleTooSparse
    "%0 bytes of pixel data in the result, more than a bitmap holds (4 GiB - 1)",          // ReasonResultTooLarge
    "a link in a shared sticky folder, owned by neither this user nor the folder's owner: not followed",  // ReasonLinkInSharedFolder
    "a new layout cannot be written over its own input, and its folder refuses a temporary file",  // ReasonNewLayoutInPlace
    "could not open",                                                          // ReasonOpenFailed
    "could not open for writing",                                              // ReasonOpenForWritingFailed
    "write error",                                                             // ReasonWriteError
    "not enough memory",                                                       // ReasonOutOfMemory
    "path too short for the library",                                          // ReasonPathTooShort
};
static_assert(sizeof kReasonTexts / sizeof kReasonTexts[0] == ReasonPathTooShort + 1, "a text for every reason");

// The reason a failure of each status shows when it carries none.
Reason StatusReason(Status status) {
    switch (status) {
        case StatusInputOpenFailed:
            return ReasonOpenFailed;
        case StatusInputReadFailed:
            return ReasonReadError;
        case StatusOutputOpenFailed:
            return ReasonOpenForWritingFailed;
        case StatusOutputWriteFailed:
            return ReasonWriteError;
        case StatusOutOfMemory:
            return ReasonOutOfMemory;
        case StatusPathTooShort:
            return ReasonPathTooShort;
        default:
            return ReasonNone;
    }
}

}  // namespace

Failure FailWith(Status status, Reason reason, int64_t first, int64_t second, int64_t third) {
    return Failure{status, reason, 0, {first, second, third}, nullptr};
}

Failure FailWithErrno(Status status) { return Failure{status, ReasonNone, errno, {0, 0, 0}, nullptr}; }

void FormatReason(const Failure& failure, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    Reason reason = failure.reason != ReasonNone ? failure.reason : StatusReason(failure.status);
    size_t used = 0;
    auto put = [&](const char* part) {
        for (; *part != 0 && used + 1 < size; ++part) {
            text[used++] = *part;
        }
    };
    for (const char* at = kReasonTexts[reason]; *at != 0; ++at) {
        char number[24];
        if (at[0] == '%' && at[1] >= '0' && at[1] <= '2') {
            std::snprintf(number, sizeof number, "%lld", static_cast<long long>(failure.values[at[1] - '0']));
            put(number);
            ++at;
        } else if (at[0] == '%' && at[1] == 'X' && at[2] >= '0' && at[2] <= '2') {
            std::snprintf(number, sizeof number, "%08llX",
                          static_cast<unsigned long long>(failure.values[at[2] - '0']) & 0xFFFFFFFFu);
            put(number);
            at += 2;
        } else if (at[0] == '%' && at[1] == 's') {
            put(failure.name != nullptr ? failure.name : "");
            ++at;
        } else {
            char single[2] = {*at, 0};
            put(single);
        }
    }
    text[used] = 0;
}

}  // namespace quenvale
