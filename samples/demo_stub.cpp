// The sample stub that `make demo` packs: it tells where it was unpacked
// to, the packed file it came from and the data appended after that file's
// payload, all found through include/sfx_package.h.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "include/sfx_package.h"

int main() {
    char self_path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self_path, MAX_PATH);
    std::string text = "Unpacked to: " + std::string(self_path) + "\n";

    SfxPackage package;
    int found = sfx_package_find(&package);
    if (found == SFX_OK || found > SFX_NO_TRAILER)
        text += "Unpacked from: " + std::string(package.origin_path) + "\n";
    if (found == SFX_OK) {
        std::string appended(package.appended_size, '\0');
        appended.resize(sfx_package_read(&package, 0, appended.data(), package.appended_size));
        text += appended.empty() ? "No data was appended after the payload.\n"
                                 : "Appended data (" + std::to_string(appended.size()) + " bytes, CRC-32 checked): \"" +
                                       appended + "\"\n";
    } else {
        text += std::string("No appended data: ") + sfx_package_error(found) + ".\n";
    }

    if (const char *report = std::getenv("SFX_DEMO_REPORT"))
        if (FILE *out = std::fopen(report, "w")) {
            std::fputs(text.c_str(), out);
            std::fclose(out);
        }
    MessageBoxA(nullptr, text.c_str(), "sfxpack demo stub", MB_OK | MB_ICONINFORMATION);
    return 0;
}
