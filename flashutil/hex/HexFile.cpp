#include "hex/HexFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "hex/HexWriter.h"

namespace {

// The few file operations that differ between Windows and POSIX. Names are
// the runtime's narrow strings throughout, so the Windows calls are the ANSI
// ones that interpret a name exactly as fopen does.

// Opens path for writing only when nothing has that name yet; error is the
// errno value when it cannot (EEXIST: the name is taken).
FILE* CreateExclusively(const std::string& path, int& error)
{
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
#ifdef _WIN32
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
#else
    FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
#endif
    if (!file) {
        error = ENOMEM;
        std::remove(path.c_str());
    }
    return file;
}

// Pushes what the runtime has handed to the system down to the disk, so that
// a write error the system reports late (a full disk on a network share)
// still fails the write, and a rename never points at data not yet stored.
bool SyncToDisk(FILE* file)
{
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    // A file system that cannot sync has nothing further to report.
    return fsync(fileno(file)) == 0 || errno == EINVAL || errno == ENOTSUP;
#endif
}

// Moves from over to, replacing a file already at to in one step.
bool RenameOver(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    // The runtime's rename refuses to replace an existing file on Windows.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool IsDirectory(const std::string& path)
{
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

// A replaced file keeps its permissions, as it did when it was rewritten in
// place. Windows carries no such bits worth keeping.
void TakePermissionsOf(const std::string& path, FILE* file)
{
#ifndef _WIN32
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        // Failing that the file has the default permissions: no reason to give up the write.
        const int ignored = fchmod(fileno(file), st.st_mode & 07777);
        (void)ignored;
    }
#else
    (void)path;
    (void)file;
#endif
}

int ProcessId()
{
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// Beside the target, so that the rename stays within one file system.
std::string TemporaryName(const std::string& path, unsigned attempt)
{
    return path + "." + std::to_string(ProcessId()) + "." + std::to_string(attempt) + ".tmp";
}

} // namespace

CHexFileWriter::~CHexFileWriter() { Discard(); }

void CHexFileWriter::Discard()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!writing_.empty()) std::remove(writing_.c_str());
    writing_.clear();
}

HexFileResult CHexFileWriter::Open(const std::string& path, HexFileMode mode)
{
    if (file_ || !writing_.empty()) return HexFileResult::kFailed;
    path_ = path;
    int error = 0;
    if (mode == HexFileMode::kCreateNew) {
        file_ = CreateExclusively(path, error);
        if (!file_) return error == EEXIST ? HexFileResult::kNameTaken : HexFileResult::kFailed;
        writing_ = path;
        return HexFileResult::kOk;
    }
    // A directory in the way would only show at the rename, after all the work.
    if (IsDirectory(path)) return HexFileResult::kFailed;
    // Another file may have the temporary name (an earlier run that was
    // killed, another program): take the next one, never that file.
    for (unsigned attempt = 0; attempt < 100 && !file_; ++attempt) {
        const std::string name = TemporaryName(path, attempt);
        file_ = CreateExclusively(name, error);
        if (file_) writing_ = name;
        else if (error != EEXIST) return HexFileResult::kFailed;
    }
    if (!file_) return HexFileResult::kFailed;
    TakePermissionsOf(path, file_);
    return HexFileResult::kOk;
}

HexFileResult CHexFileWriter::Commit(const CHexImage& image)
{
    if (!file_) return HexFileResult::kFailed;
    FILE* file = file_;
    bool ok = WriteHexText(image, [file](const char* data, size_t size) {
        return std::fwrite(data, 1, size, file) == size;
    });
    ok = ok && std::fflush(file) == 0 && SyncToDisk(file);
    file_ = nullptr;
    // A close can be the first to report that the data did not fit.
    ok = std::fclose(file) == 0 && ok;
    if (ok && writing_ != path_) ok = RenameOver(writing_, path_);
    if (!ok) {
        Discard();
        return HexFileResult::kFailed;
    }
    writing_.clear();
    return HexFileResult::kOk;
}

HexFileResult WriteHexFileSafely(const CHexImage& image, const std::string& path, HexFileMode mode)
{
    CHexFileWriter writer;
    const HexFileResult opened = writer.Open(path, mode);
    return opened == HexFileResult::kOk ? writer.Commit(image) : opened;
}
