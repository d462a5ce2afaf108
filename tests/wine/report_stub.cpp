// A stub for the end-to-end tests: records what the loader gave it, in the
// file named by SFX_REPORT (and a copy of its own file beside it), then exits
// with the code in SFX_EXIT_CODE.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static std::vector<unsigned char> read_own_file(const wchar_t *path) {
    std::vector<unsigned char> bytes;
    if (FILE *in = _wfopen(path, L"rb")) {
        unsigned char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(in);
    }
    return bytes;
}

int main() {
    const char *report_path = std::getenv("SFX_REPORT");
    const char *exit_code = std::getenv("SFX_EXIT_CODE");
    if (!report_path)
        return 99;

    // Its own file by the wide API: it may lie in a folder the ANSI code page cannot spell.
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    char module_utf8[4 * MAX_PATH];
    WideCharToMultiByte(CP_UTF8, 0, module, -1, module_utf8, sizeof module_utf8, nullptr, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    std::vector<unsigned char> self = read_own_file(module);

    unsigned length = self.size() >= 2 ? self[self.size() - 2] | self[self.size() - 1] << 8 : 0;
    std::string trailer;
    if (length + 2 <= self.size())
        trailer.assign(self.end() - 2 - length, self.end() - 2);

    // What the trailer names must open, by the ANSI API, to the packed file: its size, or -1.
    long long origin_size = -1;
    if (FILE *origin = std::fopen(trailer.c_str(), "rb")) {
        origin_size = std::fseek(origin, 0, SEEK_END) == 0 ? std::ftell(origin) : -1;
        std::fclose(origin);
    }

    if (FILE *out = std::fopen(report_path, "w")) {
        std::fprintf(out, "command_line=%s\n", GetCommandLineA());
        std::fprintf(out, "flags=0x%lx\n", (unsigned long)startup.dwFlags);
        std::fprintf(out, "show=%u\n", (unsigned)startup.wShowWindow);
        std::fprintf(out, "module=%s\n", module_utf8);
        std::fprintf(out, "trailer_length=%u\n", length);
        std::fprintf(out, "trailer=%s\n", trailer.c_str());
        std::fprintf(out, "origin_size=%lld\n", origin_size);
        std::fclose(out);
    }
    std::string copy = std::string(report_path) + ".self";
    if (FILE *out = std::fopen(copy.c_str(), "wb")) {
        std::fwrite(self.data(), 1, self.size(), out);
        std::fclose(out);
    }
    std::fputs("the report stub's standard output\n", stdout);
    std::fputs("the report stub's standard error\n", stderr);
    return exit_code ? std::atoi(exit_code) : 0;
}
