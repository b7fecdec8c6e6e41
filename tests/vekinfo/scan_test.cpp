// The pass over a mapped recording survives the file being shortened under
// it: the pass reports it, and the next pass works again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vekinfo/inspect.h"

namespace {

// A recording of `frames` frames whose status word 86 of block 0 changes
// at frame 10, mapped read-only; the file is removed at the end.
class MappedRecording {
public:
    explicit MappedRecording(std::int64_t frames) : frames_(frames) {
        char name[] = "/tmp/vekinfo-scan-XXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
        std::vector<unsigned char> bytes(static_cast<size_t>(kHeaderBytes + frames * kFrameBytes), 0);
        for (std::int64_t f = 10; f < frames; ++f) {
            bytes[static_cast<size_t>(kHeaderBytes + f * kFrameBytes + 2 * 86)] = 3;
        }
        EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        size_ = bytes.size();
        map_ = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
        EXPECT_NE(map_, MAP_FAILED);
    }
    ~MappedRecording() {
        munmap(map_, size_);
        close(fd_);
        unlink(path_.c_str());
    }
    void shortenTo(off_t length) { ASSERT_EQ(ftruncate(fd_, length), 0); }
    bool scan(vekinfo::ImageScan& result) const {
        return vekinfo::scanImage(static_cast<const unsigned char*>(map_), frames_, result);
    }

private:
    std::int64_t frames_;
    int fd_ = -1;
    std::string path_;
    size_t size_ = 0;
    void* map_ = nullptr;
};

TEST(ScanImage, ShortenedWhileMappedIsReportedNotFatal) {
    const std::int64_t frames = 4000;  // about 3 MB, many pages
    for (const off_t length : {off_t{0}, off_t{kHeaderBytes + 1000 * kFrameBytes}}) {
        MappedRecording recording(frames);
        vekinfo::ImageScan scan;
        ASSERT_TRUE(recording.scan(scan));
        EXPECT_EQ(scan.changedWords, 1u << (86 - 83));
        EXPECT_EQ(scan.changes, 1);
        recording.shortenTo(length);
        EXPECT_FALSE(recording.scan(scan)) << length;
    }
    MappedRecording intact(frames);
    vekinfo::ImageScan scan;
    EXPECT_TRUE(intact.scan(scan));
    EXPECT_EQ(scan.changes, 1);
}

}  // namespace
