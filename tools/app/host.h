// The command-line host's helpers: paths as the call takes them, standard
// input and output through spool files, and error texts. Each platform has
// a file of its own (host_files_posix.cpp, host_files_win32.cpp).
#ifndef QUENVALE_HOST_H
#define QUENVALE_HOST_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quenvale_host {

// The host on its arguments as UTF-8 (quenvale_main.cpp); returns the exit
// status. Each platform's main (host_entry_*.cpp) calls it.
int RunHost(int argc, char** argv);

// UTF-8 to UTF-16, with the library's codec; false on a malformed sequence.
bool DecodeUtf8(const std::string& text, std::u16string* units);

// A UTF-8 path (checked already) as the call takes it, in UTF-16: as given,
// so that any path the system takes works. The call refuses input paths
// under 10 bytes: a path shorter than minimumBytes gets "./" steps, after
// its root if it has one.
std::u16string CallPath(const std::string& path, size_t minimumBytes);

// What a path names, to check a batch before any work.
enum PathKind { PathMissing, PathFolder, PathOther };
PathKind KindOfPath(const std::string& path);
// The identity of the file or folder a path names (device and index), so
// that two names of one file are seen as one; false where it has none.
struct FileId {
    uint64_t device;
    uint64_t index;
};
bool IdentityOf(const std::string& path, FileId* id);
// The names of the regular files in a folder (no links, no folders), in
// no particular order; none where it cannot be read.
std::vector<std::string> NamesIn(const std::string& folder);
// The folder part of a path: "." for a bare name.
std::string FolderOf(const std::string& path);

// A new empty file in the system's temporary folder, created exclusively
// and private to the user, open for writing; its path in *path. It is
// removed should a signal end the process before RemoveFile does.
FILE* CreateSpoolFile(const char* prefix, std::string* path, int* error);
// The folder spool files go to (TMPDIR, else the system's), to name it
// when it is full.
std::string SpoolFolder();
// From here on, a terminating signal removes the library's output
// temporary as well as the spool files, then ends the process as it would
// have.
// With defaultOnly (a host inside another program, as the Python module),
// only signals that would end the process as they are taken: a handler
// the program set is kept.
void RemoveTemporariesOnSignals(bool defaultOnly = false);
// Copies standard input whole into a new spool file.
bool SpoolStandardInput(std::string* path, int* error);
// Copies a file to standard output.
bool CopyToStandardOutput(const std::string& path, int* error);
void RemoveFile(const std::string& path);

// The last component of a path.
std::string BaseName(const std::string& path);
// Text from a file or the command line, fit for a terminal: control
// characters, bytes that are no UTF-8 and (on POSIX) backslashes escaped as
// ls -b escapes them, so that no name can steer the terminal or forge a line.
std::string Printable(const std::string& text);
// The system's text for an error number.
std::string ErrorText(int error);
bool IsTerminal(FILE* stream);

// Keeps freed memory for the next file of a batch rather than handing it
// back and faulting it in again (glibc's allocator; nothing elsewhere).
void KeepFreedMemory();
// Runs work(i) for each i below count on up to jobs threads, and done(i)
// on the calling thread for each i in order, once work(i) has finished
// (host_jobs_posix.cpp; Windows runs them one after another).
void RunInOrder(size_t count, size_t jobs, const std::function<void(size_t)>& work,
                const std::function<void(size_t)>& done);
// A batch's pictures in memory, all jobs together, within one budget of
// pixels (--max-pixels): ShareBatchPixels sets it (0: none, the default);
// ReserveBatchPixels takes a picture's pixels for this thread's job,
// waiting while other jobs hold too many (a job that holds some already
// does not wait, so that no two wait on each other); ReleaseBatchPixels
// gives back what this thread's job took.
void ShareBatchPixels(uint64_t budget);
void ReserveBatchPixels(uint64_t pixels);
void ReleaseBatchPixels();
// The cores this machine has, at least 1.
size_t CoreCount();

// The platform's part: a file opened by its UTF-8 path ("rb" or "wb"), a
// standard stream made binary, the path separators and step, how long a
// root is, and the length the call measures (bytes of the converted path).
FILE* OpenFile(const std::string& path, const char* mode);
void MakeBinary(FILE* stream);
extern const char kPathSeparators[];
extern const char kPathStep[];
size_t RootLength(const std::string& path);
size_t CallLength(const std::string& path);

}  // namespace quenvale_host

#endif
