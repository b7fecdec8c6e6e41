// The system layer: a mapped file that another process cuts short.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/mapping.h"

using namespace skanvert;

namespace {

// A file of `size` bytes, none of them 0.
std::string writeFile(const std::string& name, std::int64_t size) {
    const std::string path = testing::TempDir() + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(1 + i % 251);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

// Reads every byte of the mapping; returns how many are 0.
std::int64_t zeroBytes(const platform::FileMapping& mapping, std::int64_t size) {
    std::int64_t zeros = 0;
    for (std::int64_t i = 0; i < size; ++i) zeros += mapping.data()[i] == 0;
    return zeros;
}

// A file cut while mapped reads as zeros beyond its new end, instead of
// stopping the process, and the mapping is no longer intact; one left whole
// stays intact. Two mappings at once are told apart.
TEST(FileMapping, FileCutShortReadsAsZerosAndIsNoLongerIntact) {
    constexpr std::int64_t kSize = 4096 + 752 * 300;
    struct Case {
        const char* name;
        std::int64_t cutTo;  // -1: not cut
    };
    const Case cases[] = {{"whole", -1}, {"empty", 0}, {"header", 4096}, {"midpage", 5000}, {"lastbyte", kSize - 1}};
    platform::FileMapping other;
    const std::string otherPath = writeFile("mapping_other.dat", kSize);
    std::FILE* otherFile = std::fopen(otherPath.c_str(), "rb");
    ASSERT_NE(otherFile, nullptr);
    if (!other.map(otherFile, kSize)) GTEST_SKIP() << "no file mapping in this build";
    std::fclose(otherFile);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = writeFile(std::string("mapping_") + c.name + ".dat", kSize);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        platform::FileMapping mapping;
        ASSERT_TRUE(mapping.map(file, kSize));
        std::fclose(file);
        EXPECT_TRUE(mapping.intact());
        if (c.cutTo >= 0) std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.cutTo));
        const std::int64_t zeros = zeroBytes(mapping, kSize);
        EXPECT_EQ(mapping.intact(), c.cutTo < 0);
        EXPECT_EQ(zeros == 0, c.cutTo < 0);
        if (c.cutTo >= 0) {
            EXPECT_LE(zeros, kSize - c.cutTo);
        }
        mapping.releaseInBackground();
        EXPECT_EQ(mapping.data(), nullptr);
        std::filesystem::remove(path);
    }
    EXPECT_EQ(zeroBytes(other, kSize), 0);
    EXPECT_TRUE(other.intact());
}

// A bus error outside the mappings still ends the process as it would
// without them.
TEST(FileMappingDeathTest, BusErrorElsewhereStillEndsTheProcess) {
    const std::string path = writeFile("mapping_raw.dat", 8192);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    platform::FileMapping guarded;
    if (!guarded.map(file, 8192)) GTEST_SKIP() << "no file mapping in this build";
    void* raw = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE, fileno(file), 0);
    std::fclose(file);
    ASSERT_NE(raw, MAP_FAILED);
    EXPECT_DEATH(
        {
            std::filesystem::resize_file(path, 0);
            std::printf("%d", static_cast<const volatile unsigned char*>(raw)[100]);
        },
        "");
    munmap(raw, 8192);
}

}  // namespace
