#pragma once
// A scratch directory of its own for each test, removed afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/types.h"

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("zembrix_") + info->test_suite_name() + "_" + info->name() + "_" +
                           std::to_string(::getpid());
        std::replace(name.begin(), name.end(), '/', '_');
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `bytes` to a file of that name in the directory; returns its path.
    std::string file(const std::string& name, const std::vector<u8>& bytes) const {
        const std::filesystem::path p = path_ / name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return p.string();
    }
    // The directory with a trailing separator.
    std::string prefix() const { return (path_ / "").string(); }
    std::string path(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& root() const { return path_; }

private:
    std::filesystem::path path_;
};
