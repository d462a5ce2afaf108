// The command of the sample bundle that `make demo` makes: shows where the
// extractor unpacked the folder, the packed file it came from, its arguments
// and the folder's readme.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    const char *dir = std::getenv("SFX_DIR"), *origin = std::getenv("SFX_ORIGIN");
    std::string text = std::string("Unpacked to: ") + (dir ? dir : "?") + "\nFrom: " + (origin ? origin : "?") +
                       "\nArguments:";
    for (int i = 1; i < argc; i++)
        text += std::string(" [") + argv[i] + "]";
    text += "\n\nliesmich.txt:\n";
    if (FILE *in = std::fopen("liesmich.txt", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, in))
            text += line;
        std::fclose(in);
    }
    if (const char *report = std::getenv("SFX_DEMO_REPORT"))
        if (FILE *out = std::fopen(report, "w")) {
            std::fputs(text.c_str(), out);
            std::fclose(out);
        }
    MessageBoxA(nullptr, text.c_str(), "sfxpack bundle demo", MB_OK | MB_ICONINFORMATION);
    return 0;
}
