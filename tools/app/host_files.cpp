// The host's file work around the call that is the same on every platform:
// standard input and output spooled through files, since the call takes
// paths of regular files only.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/host.h"
#include "base/path_text.h"

namespace quenvale_host {

namespace {

bool CopyStream(FILE* from, FILE* to, int* error) {
    char buffer[64 * 1024];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
        if (std::fwrite(buffer, 1, count, to) != count) {
            *error = errno;
            return false;
        }
    }
    if (std::ferror(from)) {
        *error = errno;
        return false;
    }
    return true;
}

}  // namespace

bool DecodeUtf8(const std::string& text, std::u16string* units) {
    units->assign(text.size() + 1, u'\0');
    size_t count = 0;
    bool valid = quenvale::DecodeUtf8(text.c_str(), &(*units)[0], &count);
    units->resize(count);
    return valid;
}

bool SpoolStandardInput(std::string* path, int* error) {
    FILE* file = CreateSpoolFile("quenvale-stdin-", path, error);
    if (file == nullptr) {
        return false;
    }
    MakeBinary(stdin);
    bool copied = CopyStream(stdin, file, error);
    if (std::fclose(file) != 0 && copied) {
        *error = errno;
        copied = false;
    }
    if (!copied) {
        RemoveFile(*path);
    }
    return copied;
}

bool CopyToStandardOutput(const std::string& path, int* error) {
    MakeBinary(stdout);
    FILE* file = OpenFile(path, "rb");
    if (file == nullptr) {
        *error = errno;
        return false;
    }
    bool copied = CopyStream(file, stdout, error);
    std::fclose(file);
    if (copied && std::fflush(stdout) != 0) {
        *error = errno;
        copied = false;
    }
    return copied;
}

std::u16string CallPath(const std::string& path, size_t minimumBytes) {
    std::string lengthened = path;
    while (CallLength(lengthened) < minimumBytes) {
        lengthened.insert(RootLength(lengthened), kPathStep);
    }
    std::u16string units;
    DecodeUtf8(lengthened, &units);
    return units;
}

std::string FolderOf(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && std::strchr(kPathSeparators, trimmed.back()) != nullptr) {
        trimmed.pop_back();
    }
    size_t end = trimmed.find_last_of(kPathSeparators);
    if (end == std::string::npos) {
        return ".";
    }
    return end < RootLength(trimmed) ? trimmed.substr(0, RootLength(trimmed)) : trimmed.substr(0, end);
}

std::string BaseName(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && std::strchr(kPathSeparators, trimmed.back()) != nullptr) {
        trimmed.pop_back();
    }
    size_t start = trimmed.find_last_of(kPathSeparators);
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

std::string ErrorText(int error) { return std::strerror(error); }

std::string Printable(const std::string& text) {
    static const char kNamed[] = "abtnvfr";  // bytes 7 to 13, as ls -b names them (\a to \r)
    std::string shown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
    for (size_t at = 0; at < text.size();) {
        unsigned char byte = bytes[at];
        // A whole UTF-8 sequence that is no control character passes as it is.
        size_t length = byte >= 0x20 && byte < 0x7F ? 1 : byte >= 0xC2 && byte < 0xE0 ? 2 : byte >= 0xE0 && byte < 0xF0 ? 3
                        : byte >= 0xF0 && byte < 0xF5                                ? 4
                                                                                      : 0;
        bool whole = length > 0 && text.size() - at >= length;
        for (size_t i = 1; whole && i < length; ++i) {
            whole = (bytes[at + i] & 0xC0) == 0x80;
        }
        // C1 controls (U+0080 to U+009F) steer terminals as C0 ones do.
        bool control = length == 2 && whole && byte == 0xC2 && bytes[at + 1] < 0xA0;
        if (whole && !control && !(byte == '\\' && kPathSeparators[1] == 0)) {
            shown.append(text, at, length);
            at += length;
            continue;
        }
        size_t count = control ? 2 : 1;
        for (size_t i = 0; i < count; ++i, ++at) {
            unsigned char b = bytes[at];
            if (b == '\\') {
                shown += "\\\\";
            } else if (b >= 7 && b <= 13) {
                shown += '\\';
                shown += kNamed[b - 7];
            } else {
                char octal[5];
                std::snprintf(octal, sizeof octal, "\\%03o", b);
                shown += octal;
            }
        }
    }
    return shown;
}

}  // namespace quenvale_host
