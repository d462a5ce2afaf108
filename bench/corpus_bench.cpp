// Compares sfxpack's levels with gzip -9 and xz -9 on a corpus of Windows
// executables: sizes, throughput and peak memory, all measured in one run on
// the same files through the command-line tools.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Measure {
    double seconds = 0;
    long peak_kb = 0;
};

// Runs argv with stdin/stdout redirected to files, timing it and reading its peak RSS.
Measure run(const std::vector<std::string> &argv, const std::string &in, const std::string &out) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!in.empty())
            dup2(open(in.c_str(), O_RDONLY), 0);
        if (!out.empty())
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    Measure m{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), usage.ru_maxrss};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed: %s\n", argv[0].c_str());
        std::exit(1);
    }
    return m;
}

bool same_content(const fs::path &a, const fs::path &b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    return std::equal(std::istreambuf_iterator<char>(x), {}, std::istreambuf_iterator<char>(y), {});
}

bool is_pe(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    char mz[2] = {};
    in.read(mz, 2);
    return mz[0] == 'M' && mz[1] == 'Z';
}

// Wine's executables plus any other Windows programs on the machine, each content once.
std::vector<fs::path> find_corpus() {
    std::vector<fs::path> found;
    auto add_from = [&](const fs::path &folder, bool all_pe) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
             it != end; it.increment(error)) {
            if (error || !it->is_regular_file())
                continue;
            std::string ext = it->path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if ((ext == ".exe" || (all_pe && ext == ".dll")) && it->file_size() > 0 && is_pe(it->path()))
                found.push_back(it->path());
        }
    };
    if (const char *list = std::getenv("BENCH_CORPUS")) {
        add_from(list, true);
    } else {
        add_from("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", false);
        add_from("/usr/lib/x86_64-linux-gnu/wine/i386-windows", true);
        add_from("/usr/share", false);
        add_from("/root", false);
    }
    std::sort(found.begin(), found.end());
    std::map<std::pair<uintmax_t, std::string>, fs::path> unique;
    for (const fs::path &path : found) {
        std::ifstream in(path, std::ios::binary);
        std::string head(4096, '\0');
        in.read(head.data(), (long)head.size());
        unique.emplace(std::pair{fs::file_size(path), head}, path);
    }
    std::vector<fs::path> corpus;
    for (const auto &[key, path] : unique)
        corpus.push_back(path);
    std::sort(corpus.begin(), corpus.end());
    return corpus;
}

struct FileResult {
    std::string name;
    uintmax_t size = 0, gzip = 0, xz = 0;
    std::vector<uintmax_t> levels;
};

// The working copy of corpus file i.
fs::path copy_path(const fs::path &work, size_t i) {
    std::string name = "f";
    name += std::to_string(i);
    return work / name;
}

double mbps(double bytes, double seconds) { return bytes / 1e6 / seconds; }

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SFXPACK\n", argv[0]);
        return 2;
    }
    const std::string sfxpack = fs::absolute(argv[1]).string();
    std::vector<fs::path> corpus = find_corpus();
    if (corpus.empty()) {
        std::fprintf(stderr, "no Windows executables found (install wine64)\n");
        return 1;
    }
    fs::path work = fs::exists("/dev/shm") ? fs::path("/dev/shm/sfxpack-bench") : fs::temp_directory_path() / "sfxpack-bench";
    fs::remove_all(work);
    fs::create_directories(work);

    uintmax_t total = 0, total_gzip = 0, total_xz = 0;
    double gzip_encode = 0, gzip_decode = 0;
    long gzip_peak = 0, gunzip_peak = 0;
    std::vector<FileResult> results;
    for (size_t i = 0; i < corpus.size(); i++) {
        fs::path copy = copy_path(work, i);
        fs::copy_file(corpus[i], copy);
        FileResult r;
        r.name = corpus[i].filename().string();
        r.size = fs::file_size(copy);
        Measure gz = run({"gzip", "-9", "-c"}, copy, copy.string() + ".gz");
        Measure gunzip = run({"gzip", "-d", "-c"}, copy.string() + ".gz", "/dev/null");
        run({"xz", "-9", "-c", "-T1"}, copy, copy.string() + ".xz");
        r.gzip = fs::file_size(copy.string() + ".gz");
        r.xz = fs::file_size(copy.string() + ".xz");
        gzip_encode += gz.seconds;
        gzip_decode += gunzip.seconds;
        gzip_peak = std::max(gzip_peak, gz.peak_kb);
        gunzip_peak = std::max(gunzip_peak, gunzip.peak_kb);
        total += r.size;
        total_gzip += r.gzip;
        total_xz += r.xz;
        results.push_back(r);
    }

    std::printf("corpus: %zu files, %.1f MB; gzip -9 %.1f MB, xz -9 %.1f MB\n", corpus.size(), total / 1e6,
                total_gzip / 1e6, total_xz / 1e6);
    std::printf("gzip -9: encode %.1f MB/s, gzip -d: decode %.1f MB/s, peak %ld / %ld KB\n\n",
                mbps((double)total, gzip_encode), mbps((double)total, gzip_decode), gzip_peak, gunzip_peak);
    std::printf("level  size/gzip-9  size/xz-9  encode MB/s (x gzip-9)  decode MB/s (x gzip-d time)  peak KB enc/dec\n");
    for (int level = 1; level <= 9; level++) {
        uintmax_t packed = 0;
        double encode = 0, decode = 0;
        long encode_peak = 0, decode_peak = 0;
        for (size_t i = 0; i < results.size(); i++) {
            std::string file = copy_path(work, i).string();
            std::string payload = file + ".p", back = file + ".back";
            Measure e = run({sfxpack, "-q", "encode", "-l", std::to_string(level), file, "-o", payload}, "", "");
            Measure d = run({sfxpack, "-q", "decode", payload, "-o", back}, "", "");
            if (!same_content(file, back)) {
                std::fprintf(stderr, "MISMATCH: %s at level %d\n", results[i].name.c_str(), level);
                return 1;
            }
            results[i].levels.push_back(fs::file_size(payload));
            packed += fs::file_size(payload);
            encode += e.seconds;
            decode += d.seconds;
            encode_peak = std::max(encode_peak, e.peak_kb);
            decode_peak = std::max(decode_peak, d.peak_kb);
        }
        std::printf("%5d  %11.4f  %9.4f  %11.1f (%5.2fx)        %11.1f (%5.2fx)          %6ld / %ld\n", level,
                    (double)packed / total_gzip, (double)packed / total_xz, mbps((double)total, encode),
                    gzip_encode / encode, mbps((double)total, decode), decode / gzip_decode, encode_peak,
                    decode_peak);
        std::fflush(stdout);
    }

    std::printf("\nper file: size, gzip -9 and xz -9 bytes, then each level's size as a ratio to gzip -9\n");
    std::printf("%-28s %10s %9s %9s", "file", "size", "gzip-9", "xz-9");
    for (int level = 1; level <= 9; level++)
        std::printf("   L%d ", level);
    std::printf("\n");
    for (const FileResult &r : results) {
        std::printf("%-28s %10ju %9ju %9ju", r.name.substr(0, 28).c_str(), r.size, r.gzip, r.xz);
        for (uintmax_t size : r.levels)
            std::printf(" %5.3f", (double)size / r.gzip);
        std::printf("\n");
    }
    fs::remove_all(work);
    return 0;
}
