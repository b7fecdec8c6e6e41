#include "platform/pending_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#if SKANVERT_PLATFORM_CALLS
#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_EXCHANGE
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace skanvert::platform {

namespace {

// Zero bytes written by writeZeros, a piece at a time.
constexpr std::int64_t kZeroPiece = 4096;

}  // namespace

PendingFile::~PendingFile() {
    if (file_) std::fclose(file_);
    if (!tempPath_.empty()) std::remove(tempPath_.c_str());
}

void PendingFile::write(const void* bytes, std::int64_t n) {
    if (ok_ && n > 0 && std::fwrite(bytes, 1, static_cast<size_t>(n), file_) != static_cast<size_t>(n)) ok_ = false;
}

void PendingFile::writeZeros(std::int64_t n) {
    static const unsigned char kZeros[kZeroPiece] = {};
    for (; n > 0; n -= kZeroPiece) write(kZeros, n < kZeroPiece ? n : kZeroPiece);
}

bool PendingFile::commit() {
    if (std::fflush(file_) != 0 || std::ferror(file_)) ok_ = false;
    if (ok_ && unnamed_) ok_ = nameUnnamed();
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) ok_ = false;
    if (!ok_) return false;
    if (!exchangeWithExisting() && std::rename(tempPath_.c_str(), path_.c_str()) != 0) return false;
    tempPath_.clear();
    return true;
}

#if SKANVERT_PLATFORM_CALLS

std::string PendingFile::candidateName(int attempt) const {
    return path_ + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(attempt);
}

bool PendingFile::open() {
    int fd = openUnnamed();
    if (fd < 0) fd = openNamed();
    if (fd < 0) return false;
    struct stat existing {};
    if (stat(path_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) fchmod(fd, existing.st_mode & 07777);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        close(fd);
        return false;
    }
    return true;
}

// An unnamed file in the output's folder; -1 where the system has none, or
// where it could not be given a name afterwards.
int PendingFile::openUnnamed() {
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) != 0) return -1;
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    const std::filesystem::path folder = parent.empty() ? std::filesystem::path(".") : parent;
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY, 0666);
    if (fd >= 0) unnamed_ = true;
    return fd;
#else
    return -1;
#endif
}

int PendingFile::openNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = candidateName(attempt);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            tempPath_ = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Gives the complete unnamed file a temporary name beside the output.
bool PendingFile::nameUnnamed() {
    const std::string self = "/proc/self/fd/" + std::to_string(fileno(file_));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = candidateName(attempt);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            tempPath_ = std::move(candidate);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Replaces an existing output file (or symbolic link) by swapping the two
// names in one step, then removes the old file under its temporary name.
// Readers see the old file or the new one under the output name, as with a
// rename over it; unlike that rename, some file systems (ext4) do not then
// write the new file's blocks at once, which would cost every re-conversion
// a wait on the disk. True when the output is in place; false, nothing
// changed, where there is no such file to replace or the system cannot swap
// names (the caller then renames).
bool PendingFile::exchangeWithExisting() {
#if defined(RENAME_EXCHANGE)
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) != 0 || !(S_ISREG(existing.st_mode) || S_ISLNK(existing.st_mode))) {
        return false;
    }
    if (renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) != 0) return false;
    if (unlink(tempPath_.c_str()) == 0) return true;
    // The old name could not be removed (it changed meanwhile into something
    // else): swap back and leave it to the rename. Should even that fail,
    // the new file stays the output.
    return renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) != 0;
#else
    return false;
#endif
}

#else

std::string PendingFile::candidateName(int attempt) const {
    // No process number to be had: the address of this object tells two
    // runs' files apart within one process, the exclusive open across them.
    return path_ + ".tmp" + std::to_string(reinterpret_cast<std::uintptr_t>(this) % 1000000) + "_" +
           std::to_string(attempt);
}

bool PendingFile::open() {
    if (openNamed() < 0) return false;
    // A file that replaces an existing one takes over its permissions.
    std::error_code error;
    const auto status = std::filesystem::status(path_, error);
    if (!error && std::filesystem::is_regular_file(status)) {
        std::filesystem::permissions(tempPath_, status.permissions(), error);
    }
    return true;
}

int PendingFile::openUnnamed() { return -1; }

int PendingFile::openNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = candidateName(attempt);
        std::FILE* file = std::fopen(candidate.c_str(), "wbx");  // exclusive: never an existing file
        if (file != nullptr) {
            tempPath_ = std::move(candidate);
            file_ = file;
            return 0;
        }
        std::error_code error;
        if (!std::filesystem::exists(candidate, error)) return -1;
    }
    return -1;
}

bool PendingFile::nameUnnamed() { return false; }
bool PendingFile::exchangeWithExisting() { return false; }

#endif

}  // namespace skanvert::platform
