// Compares sfxpack's levels with an earlier build of it, gzip -9, xz -9,
// zstd -19 and deflate with an 8 KiB window on a corpus of Windows
// executables: sizes, throughput and peak memory, all measured in one run on
// the same files through the command-line tools. The two builds run
// alternately, file by file, so that a busy machine slows both alike.
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

// The working copy of corpus file i.
fs::path copy_path(const fs::path &work, size_t i) {
    std::string name = "f";
    name += std::to_string(i);
    return work / name;
}

double mbps(double bytes, double seconds) { return bytes / 1e6 / seconds; }

// A compressor's totals over the corpus.
struct Tool {
    uintmax_t size = 0;
    double encode = 0, decode = 0; // seconds
    long encode_peak = 0, decode_peak = 0;

    void add(const fs::path &packed, const Measure &e, const Measure &d) {
        size += fs::file_size(packed);
        encode += e.seconds;
        decode += d.seconds;
        encode_peak = std::max(encode_peak, e.peak_kb);
        decode_peak = std::max(decode_peak, d.peak_kb);
    }
};

// Deflate with an 8 KiB window (raw, as zlib's compressobj(9, DEFLATED, -13)
// makes it) over all the files, through python3.
uintmax_t deflate_8k_total(const fs::path &work, size_t count) {
    std::string script = "import sys, zlib\nt = 0\nfor p in sys.argv[1:]:\n"
                         "    c = zlib.compressobj(9, zlib.DEFLATED, -13)\n"
                         "    t += len(c.compress(open(p, 'rb').read()) + c.flush())\nprint(t)\n";
    std::string command = "python3 -c \"";
    command += script;
    command += "\"";
    for (size_t i = 0; i < count; i++) {
        command += ' ';
        command += copy_path(work, i).string();
    }
    FILE *pipe = popen(command.c_str(), "r");
    unsigned long long total = 0;
    if (!pipe || std::fscanf(pipe, "%llu", &total) != 1)
        total = 0;
    if (pipe)
        pclose(pipe);
    return total;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SFXPACK BASE_SFXPACK\n", argv[0]);
        return 2;
    }
    const std::string builds[2] = {fs::absolute(argv[1]).string(), fs::absolute(argv[2]).string()};
    std::vector<fs::path> corpus = find_corpus();
    if (corpus.empty()) {
        std::fprintf(stderr, "no Windows executables found (install wine64)\n");
        return 1;
    }
    fs::path work = fs::exists("/dev/shm") ? fs::path("/dev/shm/sfxpack-bench") : fs::temp_directory_path() / "sfxpack-bench";
    fs::remove_all(work);
    fs::create_directories(work);

    uintmax_t total = 0;
    Tool gzip, xz, zstd;
    for (size_t i = 0; i < corpus.size(); i++) {
        fs::path copy = copy_path(work, i);
        std::string c = copy.string();
        fs::copy_file(corpus[i], copy);
        total += fs::file_size(copy);
        auto measure = [&](Tool &tool, const std::string &packed, std::vector<std::string> encode,
                           std::vector<std::string> decode) {
            Measure e = run(encode, c, packed);
            Measure d = run(decode, packed, "/dev/null");
            tool.add(packed, e, d);
        };
        measure(gzip, c + ".gz", {"gzip", "-9", "-c"}, {"gzip", "-d", "-c"});
        measure(xz, c + ".xz", {"xz", "-9", "-c", "-T1"}, {"xz", "-d", "-c"});
        measure(zstd, c + ".zst", {"zstd", "-19", "-q", "-c"}, {"zstd", "-d", "-q", "-c"});
    }
    uintmax_t deflate_8k = deflate_8k_total(work, corpus.size());

    std::printf("corpus: %zu files, %.2f MB; new build %s, base build %s\n\n", corpus.size(), total / 1e6,
                builds[0].c_str(), builds[1].c_str());
    std::printf("%-11s %10s %9s %9s %9s %8s\n", "reference", "bytes", "enc MB/s", "dec MB/s", "peak KB", "");
    auto reference = [&](const char *name, const Tool &t) {
        std::printf("%-11s %10ju %9.1f %9.1f %4ld/%-4ld\n", name, t.size, mbps((double)total, t.encode),
                    mbps((double)total, t.decode), t.encode_peak, t.decode_peak);
    };
    reference("gzip -9", gzip);
    reference("xz -9", xz);
    reference("zstd -19", zstd);
    std::printf("%-11s %10ju\n\n", "deflate-8K", deflate_8k);

    std::printf("level: size in bytes and against gzip -9, xz -9, deflate-8K; whether the base build made the same\n"
                "bytes; encode and decode MB/s of new and base builds, their ratio, and the time against gzip -9\n"
                "and gzip -d; peak KB of encode/decode, new and base\n\n");
    std::printf("%2s %10s %6s %6s %6s %5s | %6s %6s %5s %5s | %6s %6s %5s %5s | %11s %11s\n", "L", "bytes", "/gz9",
                "/xz9", "/d8K", "same", "enc", "base", "x", "/gz9", "dec", "base", "x", "/gzd", "peak enc", "peak dec");
    for (int level = 1; level <= 9; level++) {
        Tool ours[2];
        bool same = true;
        for (size_t i = 0; i < corpus.size(); i++) {
            std::string file = copy_path(work, i).string();
            std::string payload[2] = {file + ".p0", file + ".p1"};
            for (int b = 0; b < 2; b++) {
                int which = (int)((b + i) % 2); // alternate which build goes first
                std::string back = file + ".back";
                Measure e = run({builds[which], "-q", "encode", "-l", std::to_string(level), file, "-o", payload[which]}, "", "");
                Measure d = run({builds[which], "-q", "decode", payload[which], "-o", back}, "", "");
                if (!same_content(file, back)) {
                    std::fprintf(stderr, "MISMATCH: %s at level %d (%s)\n", corpus[i].c_str(), level, builds[which].c_str());
                    return 1;
                }
                ours[which].add(payload[which], e, d);
            }
            same = same && same_content(payload[0], payload[1]);
        }
        const Tool &n = ours[0], &o = ours[1];
        std::printf("%2d %10ju %6.4f %6.4f %6.4f %5s | %6.2f %6.2f %5.2f %5.2f | %6.2f %6.2f %5.2f %5.2f | %5ld/%-5ld %5ld/%-5ld\n",
                    level, n.size, (double)n.size / gzip.size, (double)n.size / xz.size, (double)n.size / deflate_8k,
                    same ? "yes" : "no", mbps((double)total, n.encode), mbps((double)total, o.encode), o.encode / n.encode,
                    n.encode / gzip.encode, mbps((double)total, n.decode), mbps((double)total, o.decode),
                    o.decode / n.decode, n.decode / gzip.decode, n.encode_peak, o.encode_peak, n.decode_peak,
                    o.decode_peak);
        if (!same)
            std::printf("   base build: %ju bytes (%+.3f %%)\n", o.size, 100.0 * ((double)n.size / o.size - 1));
        std::fflush(stdout);
    }
    fs::remove_all(work);
    return 0;
}
