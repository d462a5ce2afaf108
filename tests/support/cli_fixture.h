#pragma once
// Runs the sfxpack binary in a fresh folder per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct ToolRun {
    int exit_code;
    std::string err;
    std::string out;
};

inline std::string slurp(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline Bytes slurp_bytes(const std::filesystem::path &path) {
    std::string text = slurp(path);
    return Bytes(text.begin(), text.end());
}

inline void spit(const std::filesystem::path &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (long)bytes.size());
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("sfxpack-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        std::filesystem::remove_all(dir_);
    }

    // Runs sfxpack with 'args' (a shell fragment) in the test's folder.
    ToolRun sfxpack(const std::string &args) { return shell(tool() + " " + args); }
    // The command that runs sfxpack: SFXPACK_RUNNER (valgrind, say) may wrap it.
    static std::string tool() {
        const char *runner = std::getenv("SFXPACK_RUNNER");
        return (runner ? std::string(runner) + " " : std::string()) + SFXPACK_BINARY;
    }
    static bool wrapped() { return std::getenv("SFXPACK_RUNNER") != nullptr; }
    // Runs a shell fragment in the test's folder, capturing what it prints.
    ToolRun shell(const std::string &fragment) {
        std::string command = "cd " + dir_.string() + " && { " + fragment + " ; } >" + (dir_ / ".stdout").string() +
                              " 2>" + (dir_ / ".stderr").string();
        int status = std::system(command.c_str());
        ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir_ / ".stderr"),
                    slurp(dir_ / ".stdout")};
        std::filesystem::remove(dir_ / ".stdout");
        std::filesystem::remove(dir_ / ".stderr");
        return run;
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    // The folder's files, sorted: what a failed command must not have added to.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir_;
};

// A file with just enough PE structure for the packer: headers and one
// section whose raw data ends at 'image_end'.
Bytes fake_pe(uint32_t image_end, uint32_t file_size = 0);
