// A file written in full before it takes the place of its path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace skanvert::platform {

// PendingFile
//   The file being written for a path. Where the system allows it, it has no
//   name until it is complete (so a run killed meanwhile leaves nothing
//   behind); otherwise it is a temporary file beside the path. commit() puts
//   it in place of the path in one step; dropped without commit() it is
//   removed. Not copyable.
class PendingFile {
public:
    explicit PendingFile(std::string path) : path_(std::move(path)) {}
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // open
    //   Does: creates the file being written, with the permissions of the
    //         file it will replace, or those a new file gets.
    //   Returns: false when no such file can be created.
    bool open();

    std::FILE* file() const { return file_; }

    // write: writes n bytes; a failed write is recorded and later writes
    // are skipped. writeZeros: n zero bytes the same way.
    void write(const void* bytes, std::int64_t n);
    void writeZeros(std::int64_t n);
    // markFailed: records a failure of a write done through file().
    void markFailed() { ok_ = false; }

    // commit
    //   Does: closes the file and puts it in place of the path: an existing
    //         file (or link) there is swapped with it in one step and then
    //         removed under its temporary name, where the system can swap
    //         names; otherwise the file is renamed over the path.
    //   Returns: false when a write, the naming, the close or the renaming
    //          failed (the file is then removed and the path untouched).
    bool commit();

private:
    std::string candidateName(int attempt) const;
    int openUnnamed();
    int openNamed();
    bool nameUnnamed();
    bool exchangeWithExisting();

    std::string path_;
    std::string tempPath_;
    std::FILE* file_ = nullptr;
    bool unnamed_ = false;
    bool ok_ = true;
};

}  // namespace skanvert::platform
