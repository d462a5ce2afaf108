// Compares sfxpack's levels with an earlier build of it, gzip -9, xz -9,
// zstd -19 and deflate with an 8 KiB window on a corpus of Windows
// executables, through the command-line tools: sizes file by file (and
// whether the earlier build made the same bytes), then speeds and peak memory
// on the whole corpus as one file, so that starting a process does not count.
// Speeds are of CPU time (user and system), the median of a few rounds in
// which the tools take turns, so that a busy machine slows all alike.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    double seconds = 0; // CPU time
    long peak_kb = 0;
};

double seconds(const timeval &t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

// Runs argv with stdin/stdout redirected to files, reading its CPU time and peak RSS.
Measure run(const std::vector<std::string> &argv, const std::string &in, const std::string &out) {
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
    Measure m{seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
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

// One way to pack and unpack the whole corpus: its commands, and the median
// CPU time and greatest peak of its rounds.
struct Contender {
    std::string name;
    std::vector<std::string> encode, decode; // read standard input, write standard output
    std::vector<double> encode_times{}, decode_times{};
    long encode_peak = 0, decode_peak = 0;
    uintmax_t packed = 0;

    double median(std::vector<double> v) const {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
    double encode_mbps(uintmax_t total) const { return mbps((double)total, median(encode_times)); }
    double decode_mbps(uintmax_t total) const { return mbps((double)total, median(decode_times)); }
};

// Rounds of every contender in turn on 'all', the corpus as one file.
void race(std::vector<Contender> &field, const std::string &all, int rounds) {
    for (int round = 0; round < rounds; round++)
        for (Contender &c : field) {
            std::string packed = all + ".packed", back = all + ".back";
            Measure e = run(c.encode, all, packed);
            Measure d = run(c.decode, packed, back);
            if (!same_content(all, back)) {
                std::fprintf(stderr, "MISMATCH: %s does not give the corpus back\n", c.name.c_str());
                std::exit(1);
            }
            c.packed = fs::file_size(packed);
            c.encode_times.push_back(e.seconds);
            c.decode_times.push_back(d.seconds);
            c.encode_peak = std::max(c.encode_peak, e.peak_kb);
            c.decode_peak = std::max(c.decode_peak, d.peak_kb);
        }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SFXPACK BASE_SFXPACK [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string builds[2] = {fs::absolute(argv[1]).string(), fs::absolute(argv[2]).string()};
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    std::vector<fs::path> corpus = find_corpus();
    if (corpus.empty()) {
        std::fprintf(stderr, "no Windows executables found (install wine64)\n");
        return 1;
    }
    fs::path work = fs::exists("/dev/shm") ? fs::path("/dev/shm/sfxpack-bench") : fs::temp_directory_path() / "sfxpack-bench";
    fs::remove_all(work);
    fs::create_directories(work);

    uintmax_t total = 0, gzip = 0, xz = 0;
    std::string all = (work / "all").string();
    {
        std::ofstream joined(all, std::ios::binary);
        for (size_t i = 0; i < corpus.size(); i++) {
            fs::path copy = copy_path(work, i);
            std::string c = copy.string();
            fs::copy_file(corpus[i], copy);
            std::ifstream in(copy, std::ios::binary);
            joined << in.rdbuf();
            total += fs::file_size(copy);
            run({"gzip", "-9", "-c"}, c, c + ".gz");
            run({"xz", "-9", "-c", "-T1"}, c, c + ".xz");
            gzip += fs::file_size(c + ".gz");
            xz += fs::file_size(c + ".xz");
        }
    }
    uintmax_t deflate_8k = deflate_8k_total(work, corpus.size());
    std::printf("corpus: %zu files, %ju bytes; new build %s, base build %s\n\n", corpus.size(), total,
                builds[0].c_str(), builds[1].c_str());

    std::printf("sizes, file by file: bytes, and against gzip -9 (%ju), xz -9 (%ju), deflate-8K (%ju); the base\n"
                "build's, when it made other bytes\n",
                gzip, xz, deflate_8k);
    std::printf("%5s %10s %7s %7s %7s %s\n", "level", "bytes", "/gzip-9", "/xz-9", "/d-8K", "base build");
    for (int level = 1; level <= 9; level++) {
        uintmax_t sizes[2] = {0, 0};
        bool same = true;
        for (size_t i = 0; i < corpus.size(); i++) {
            std::string file = copy_path(work, i).string();
            std::string payload[2] = {file + ".p0", file + ".p1"};
            for (int b = 0; b < 2; b++) {
                run({builds[b], "-q", "encode", "-l", std::to_string(level), file, "-o", payload[b]}, "", "");
                sizes[b] += fs::file_size(payload[b]);
            }
            run({builds[0], "-q", "decode", payload[0], "-o", file + ".back"}, "", "");
            if (!same_content(file, file + ".back")) {
                std::fprintf(stderr, "MISMATCH: %s at level %d\n", corpus[i].c_str(), level);
                return 1;
            }
            same = same && same_content(payload[0], payload[1]);
        }
        std::printf("%5d %10ju %7.4f %7.4f %7.4f %s", level, sizes[0], (double)sizes[0] / gzip, (double)sizes[0] / xz,
                    (double)sizes[0] / deflate_8k, same ? "same bytes" : "");
        if (!same)
            std::printf("%ju (%+.3f %%)", sizes[1], 100.0 * ((double)sizes[0] / sizes[1] - 1));
        std::printf("\n");
        std::fflush(stdout);
    }

    std::printf("\nspeeds on the corpus as one file: MB/s of CPU time, median of %d rounds; the base build's,\n"
                "new against base, time against gzip -9 (encoding) and gzip -d (decoding); peak KB\n",
                rounds);
    std::vector<Contender> field = {
        {"gzip -9", {"gzip", "-9", "-c"}, {"gzip", "-d", "-c"}},
        {"xz -9", {"xz", "-9", "-c", "-T1"}, {"xz", "-d", "-c"}},
        {"zstd -19", {"zstd", "-19", "-q", "-c"}, {"zstd", "-d", "-q", "-c"}},
    };
    for (int level : {1, 6, 9})
        for (int b = 0; b < 2; b++)
            field.push_back({std::string(b ? "base" : "new") + " -l " + std::to_string(level),
                             {builds[b], "-q", "encode", "-l", std::to_string(level), "-", "-o", "-"},
                             {builds[b], "-q", "decode", "-", "-o", "-"}});
    race(field, all, rounds);
    const Contender &gz = field[0];
    std::printf("%-9s %10s | %8s %8s %5s %6s | %8s %8s %5s %6s | %s\n", "", "bytes", "enc MB/s", "base", "x",
                "/gz-9", "dec MB/s", "base", "x", "/gz-d", "peak KB enc/dec (base)");
    for (size_t i = 0; i < field.size(); i++) {
        const Contender &c = field[i];
        bool ours = i >= 3;
        if (ours && i % 2 == 0)
            continue; // the base build, printed in the new build's row
        const Contender *base = ours ? &field[i + 1] : nullptr;
        std::string name = ours ? "level " + c.name.substr(7) : c.name;
        double enc = c.encode_mbps(total), dec = c.decode_mbps(total);
        std::printf("%-9s %10ju | %8.2f ", name.c_str(), c.packed, enc);
        if (base)
            std::printf("%8.2f %5.2f ", base->encode_mbps(total), enc / base->encode_mbps(total));
        else
            std::printf("%8s %5s ", "", "");
        std::printf("%6.2f | %8.2f ", gz.encode_mbps(total) / enc, dec);
        if (base)
            std::printf("%8.2f %5.2f ", base->decode_mbps(total), dec / base->decode_mbps(total));
        else
            std::printf("%8s %5s ", "", "");
        std::printf("%6.2f | %ld/%ld", gz.decode_mbps(total) / dec, c.encode_peak, c.decode_peak);
        if (base)
            std::printf(" (%ld/%ld)", base->encode_peak, base->decode_peak);
        std::printf("\n");
    }
    fs::remove_all(work);
    return 0;
}
