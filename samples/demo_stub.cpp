// The sample stub that `make demo` packs: it tells where it was unpacked
// from, as read from the origin trailer at the end of its own file, and
// what else it found (data appended after the payload of that file).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

static std::vector<unsigned char> read_file(const char *path) {
    std::vector<unsigned char> bytes;
    if (FILE *in = std::fopen(path, "rb")) {
        unsigned char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(in);
    }
    return bytes;
}

// The text appended after the payload, if the packed file ends in printable text.
static std::string appended_text(const std::vector<unsigned char> &packed) {
    size_t start = packed.size();
    while (start > 0 && packed[start - 1] >= 0x20 && packed[start - 1] < 0x7F)
        start--;
    return std::string(packed.begin() + (long)start, packed.end());
}

int main() {
    char self_path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self_path, MAX_PATH);
    std::vector<unsigned char> self = read_file(self_path);

    std::string text = "Unpacked to: " + std::string(self_path) + "\n";
    if (self.size() < 2) {
        text += "No origin trailer found.\n";
    } else {
        unsigned length = self[self.size() - 2] | self[self.size() - 1] << 8;
        if (length + 2 > self.size()) {
            text += "The origin trailer is damaged.\n";
        } else {
            std::string origin(self.end() - 2 - length, self.end() - 2);
            text += "Unpacked from: " + origin + " (trailer: " + std::to_string(length) + " bytes + 2)\n";
            std::string extra = appended_text(read_file(origin.c_str()));
            text += extra.empty() ? "No data was appended after the payload.\n"
                                  : "Appended data: \"" + extra + "\"\n";
        }
    }

    if (const char *report = std::getenv("SFX_DEMO_REPORT"))
        if (FILE *out = std::fopen(report, "w")) {
            std::fputs(text.c_str(), out);
            std::fclose(out);
        }
    MessageBoxA(nullptr, text.c_str(), "sfxpack demo stub", MB_OK | MB_ICONINFORMATION);
    return 0;
}
