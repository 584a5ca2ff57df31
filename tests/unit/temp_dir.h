// A fresh folder of the test's own under the system's temporary folder,
// removed with everything in it when the test is done.
#ifndef KOVA_TESTS_TEMP_DIR_H
#define KOVA_TESTS_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDirTest : public ::testing::Test {
protected:
    // `prefix` names the folder, so a leftover says which test made it.
    explicit TempDirTest(const char* prefix) : prefix_(prefix) {}
    void SetUp() override {
        std::string t = (std::filesystem::temp_directory_path() / (prefix_ + ".XXXXXX")).string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string at(const std::string& name) const { return (dir / name).string(); }

    std::filesystem::path dir;

private:
    std::string prefix_;
};

#endif
