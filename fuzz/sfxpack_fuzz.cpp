// sfxpack's reading of files it did not make: 'info' and 'unpack' on
// arbitrary bytes. Both must end with exit 0 or 1; a failed unpack leaves
// nothing behind, and whatever unpacks must also inspect as clean.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_check.h"
#include "sfxpack/tool_main.h"

namespace {
std::filesystem::path work_dir;

int run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    return sfxpack_main((int)argv.size(), argv.data(), "fuzz");
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == (ssize_t)size);
    close(fd);
}

size_t entries_in_work_dir() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(work_dir))
        n++;
    return n;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *shm = "/dev/shm";
    std::string base = std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path().string();
    std::string templ = base + "/sfxpack-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(templ.data()) != nullptr);
    work_dir = templ;
    // 'info' reports on stdout; only the verdict matters here.
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    std::atexit([] { std::filesystem::remove_all(work_dir); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (work_dir.empty())
        LLVMFuzzerInitialize(nullptr, nullptr);
    std::string input = (work_dir / "input.exe").string();
    std::string output = (work_dir / "stub.exe").string();
    write_file(input, data, size);

    int info = run({"sfxpack", "-q", "info", input});
    int unpack = run({"sfxpack", "-q", "unpack", input, "-o", output, "--max-size", "1048576"});
    FUZZ_CHECK(info == 0 || info == 1);
    FUZZ_CHECK(unpack == 0 || unpack == 1);
    FUZZ_CHECK(std::filesystem::exists(output) == (unpack == 0));
    FUZZ_CHECK(entries_in_work_dir() == (unpack == 0 ? 2u : 1u));
    FUZZ_CHECK(unpack == 1 || info == 0);
    std::filesystem::remove(output);
    return 0;
}
