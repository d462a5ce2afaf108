#include "include/sfx_package.h"

int package_header_compiles_as_c(void) {
    SfxPackage package;
    char buffer[16];
    return sfx_package_find(&package) == SFX_OK ? (int)sfx_package_read(&package, 0, buffer, sizeof buffer) : -1;
}
