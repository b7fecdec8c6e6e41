// Tests of TIniFile (loading, key getters, row lookups) and calibrationValues.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tables/tables.h"

using namespace skanvert;

namespace fs = std::filesystem;

namespace {

class TablesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() /
               ("skv_tables_" + std::to_string(stamp) + "_" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes `bytes` to a file in the test directory and loads it.
    int load(TIniFile& ini, const std::string& bytes)
    {
        std::string path = (dir_ / "file.txt").string();
        std::ofstream(path, std::ios::binary) << bytes;
        return ini.Load(path);
    }

    fs::path dir_;
};

TEST_F(TablesTest, LoadSplitsLikeLineReader)
{
    TIniFile ini;
    std::string longLine = std::string(300, 'a') + "\n";
    ASSERT_EQ(load(ini, longLine + "x\r\ny\rz\r\n" + std::string(253, 'b') + "\r\n"), 5);
    EXPECT_EQ(ini.Line(0), std::string(254, 'a'));
    EXPECT_EQ(ini.Line(1), std::string(46, 'a') + "\n");
    EXPECT_EQ(ini.Line(2), "x\n");      // CR before LF dropped
    EXPECT_EQ(ini.Line(3), "y\rz\n");   // lone CR kept
    EXPECT_EQ(ini.Line(4), std::string(253, 'b') + "\n");  // CR not counted toward 254

    // A zero byte ends the stored text; the split still counts it.
    ASSERT_EQ(load(ini, std::string("ab\0cd\nef", 8)), 2);
    EXPECT_EQ(ini.Line(0), "ab");
    EXPECT_EQ(ini.Line(1), "ef");

    std::string many;
    for (int i = 0; i < 1500; ++i) many += "k=" + std::to_string(i) + "\n";
    EXPECT_EQ(load(ini, many), 1500);
    EXPECT_EQ(load(ini, ""), 0);
}

TEST_F(TablesTest, LoadFailures)
{
    TIniFile ini;
    std::string missing = (dir_ / "none.ini").string();
    EXPECT_EQ(ini.Load(missing), 0);
    EXPECT_FALSE(ini.Opened());
    EXPECT_EQ(ini.Load(dir_.string()), 0);  // opens, cannot be read
    EXPECT_TRUE(ini.Opened());
}

TEST_F(TablesTest, KeyGetters)
{
    TIniFile ini;
    load(ini, "smooth=30\nsmooth=40\nsmoothing=5\n sigma=9\nsigma = 2.5\nshift=-3\nbad=abc\n"
              "part=12abc\nnoeq 7\nDebug=4\ndebug=1\nindir='/data/run 1/'\noutdir=/data/run 1/\n"
              "channels='/data\nspaced = 'a b'\nblank=  \nempty=''\nlast=8");
    struct IntCase { const char* key; int expected; };
    for (IntCase c : {IntCase{"smooth", 30}, {"smoothi", 5}, {"shift", -3}, {"bad", -1},
                      {"part", 12}, {"noeq", -1}, {"debug", 1}, {"Deb", 4}, {"absent", -1},
                      {"last", 8}}) {
        EXPECT_EQ(ini.GetInt(c.key, -1), c.expected) << c.key;
    }
    EXPECT_FLOAT_EQ(ini.GetFloat("sigma", 1.0f), 2.5f);
    EXPECT_FLOAT_EQ(ini.GetFloat("bad", 0.5f), 0.5f);

    struct TextCase { const char* key; const char* expected; };  // null: not set
    for (TextCase c : {TextCase{"indir", "/data/run 1/"}, {"outdir", "/data/run"},
                       {"channels", "/data\n"}, {"spaced", "'a"}, {"empty", ""},
                       {"blank", nullptr}, {"noeq", nullptr}, {"absent", nullptr}}) {
        std::string dest = "keep";
        EXPECT_EQ(ini.GetText(c.key, dest), c.expected != nullptr) << c.key;
        EXPECT_EQ(dest, c.expected ? c.expected : "keep") << c.key;
    }
}

TEST(ReadWord, WordsOfAnyLength)
{
    std::string word;
    std::string longWord(5000, 'w');
    EXPECT_TRUE(readWord(" \t" + longWord + " tail", 0, word));
    EXPECT_EQ(word, longWord);
    EXPECT_FALSE(readWord(" \t\r\n", 0, word));
}

TEST_F(TablesTest, FindChannelRow)
{
    TIniFile ini;
    load(ini, "9 18.5\nchan freq use\n12.004 30 0\n3\n12.0 36.5 1 4\n7 0 1\nnan 2 2\n");
    struct Case { float channel; const char* format; int n; float freq; };
    for (Case c : {Case{9, "%.2f", 2, 18.5f}, {12, "%.2f", 4, 36.5f}, {12.004f, "%.2f", 4, 36.5f},
                   {12.004f, nullptr, 3, 30.0f}, {7, "%.2f", 3, 0.0f}, {3, nullptr, 0, 2.0f}}) {
        ChannelRow row;
        EXPECT_EQ(ini.FindChannelRow(c.channel, row, c.format), c.n) << c.channel;
        EXPECT_FLOAT_EQ(row.value[0], c.freq) << c.channel;
    }
}

TEST_F(TablesTest, FindCoefRowTakesFirstRowAtOrAbove)
{
    TIniFile ini;
    load(ini, "1 2 3 4\n5.0 100 1.1 50\nnote\n10.0 200 1.2 60\n20.0 300 1.3 70\n");
    struct Case { float f; int n; float tqsun; };
    for (Case c : {Case{1, 3, 100}, {10.0f, 3, 200}, {10.1f, 3, 300}, {25, 0, 300}}) {
        CoefficientRow row;
        EXPECT_EQ(ini.FindCoefRow(c.f, row), c.n) << c.f;
        EXPECT_FLOAT_EQ(row.value[0], c.tqsun) << c.f;
    }
}

TEST_F(TablesTest, CalibrationValues)
{
    const float formula = static_cast<float>(282.0L / 2.82f + 0.2L);
    EXPECT_NEAR(formula, 100.2f, 1e-4f);
    TIniFile none;
    TIniFile table;
    int count = load(table, "freq tq kf th\n2.0 500 1.5 33\n3.0 600 2.5 44\n10.0 700\n");
    TIniFile heading;
    int headingCount = load(heading, "freq tq kf th\n");

    struct Case { const TIniFile* ini; int count; float f; int flag; float def; CalibrationValues want; };
    for (Case c : {Case{&none, 0, 2.82f, 0, 6000, {6000, 1, formula}},
                   {&none, 0, 2.82f, 1, 220, {220, 1, formula}},
                   {&table, count, 2.82f, 0, 6000, {600, 2.5f, formula}},
                   {&table, count, 2.82f, 1, 6000, {600, 2.5f, 44}},
                   {&table, count, 5.0f, 1, 6000, {700, 1, 282.0f / 5.0f + 0.2f}},  // short row
                   {&table, count, 50.0f, 1, 6000, {700, 2.5f, 44}},  // last values read stand
                   {&heading, headingCount, 2.82f, 1, 220, {220, 1, formula}}}) {
        CalibrationValues v = calibrationValues(*c.ini, c.count, c.f, c.flag, c.def);
        EXPECT_FLOAT_EQ(v.tqsun, c.want.tqsun) << c.f;
        EXPECT_FLOAT_EQ(v.kflux, c.want.kflux) << c.f;
        EXPECT_FLOAT_EQ(v.theta, c.want.theta) << c.f;
    }
}

}  // namespace
