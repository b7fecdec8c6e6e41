// Files as the system gives them: opening without waiting, the size and kind
// of an open file, whether two paths name one file, and whether an existing
// file may be written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace skanvert::platform {

// openForReading
//   Given: a file path.
//   Returns: the file opened for reading in binary mode, or null. A named
//          pipe opens at once instead of waiting for a writer; without one
//          its reads find the end of the file at once. (Without the system's
//          calls: a plain binary open.)
std::FILE* openForReading(const std::string& path);

// sizeBySeeking
//   Given: an open file.
//   Does: seeks to its end.
//   Returns: the offset of the end in a 64-bit count, or -1 when the file
//          cannot be sought (a pipe) or the offset cannot be told.
std::int64_t sizeBySeeking(std::FILE* file);

enum class FileKind { Regular, Directory, Other, Unknown };

// kindOf
//   Returns: what the open file is; Unknown where the system does not tell.
//          `size` is set to the size the system holds for a regular file
//          (left alone otherwise). Without the system's calls: Directory for
//          a file that opened but whose first byte cannot be read, Unknown
//          otherwise; the file's position is kept.
FileKind kindOf(std::FILE* file, std::int64_t& size);

// sameFile
//   Returns: true when both paths name the same existing file (by any
//          path: links, "./", another folder spelling).
bool sameFile(const std::string& a, const std::string& b);

// existsButNotWritable
//   Returns: true when the path names an existing file that this process
//          may not write; false when it may, or when nothing is there.
bool existsButNotWritable(const std::string& path);

}  // namespace skanvert::platform
