#include "platform/files.h"

#include <filesystem>
#include <system_error>

#if SKANVERT_PLATFORM_CALLS
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace skanvert::platform {

#if SKANVERT_PLATFORM_CALLS

std::FILE* openForReading(const std::string& path) {
    // Opened without waiting: a named pipe without a writer would block the
    // open for ever. The descriptor blocks again for the reads, which see
    // the end of such a pipe at once.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    std::FILE* file = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

std::int64_t sizeBySeeking(std::FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(file);
    return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

FileKind kindOf(std::FILE* file, std::int64_t& size) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return FileKind::Unknown;
    if (S_ISDIR(info.st_mode)) return FileKind::Directory;
    if (!S_ISREG(info.st_mode)) return FileKind::Other;
    size = static_cast<std::int64_t>(info.st_size);
    return FileKind::Regular;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool existsButNotWritable(const std::string& path) {
    return access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0;
}

#else

std::FILE* openForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

std::int64_t sizeBySeeking(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(file);
    return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

FileKind kindOf(std::FILE* file, std::int64_t&) {
    // Without the system's calls a directory is told by its first byte: it
    // opens, but reading it fails (where an empty file just ends).
    const long at = std::ftell(file);
    std::rewind(file);
    unsigned char first = 0;
    const bool unreadable = std::fread(&first, 1, 1, file) == 0 && std::ferror(file);
    std::clearerr(file);
    if (at >= 0) std::fseek(file, at, SEEK_SET);
    return unreadable ? FileKind::Directory : FileKind::Unknown;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}

bool existsButNotWritable(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    // A folder is no file of its own to keep: putting the output in its
    // place fails later, as it does with the system's calls.
    if (error || !std::filesystem::exists(status) || std::filesystem::is_directory(status)) return false;
    // Opened for update, the file is neither created nor cut.
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) return true;
    std::fclose(file);
    return false;
}

#endif

}  // namespace skanvert::platform
