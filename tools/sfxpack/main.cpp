// sfxpack: builds, inspects and unpacks self-extracting executables.
#include "tool_main.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "unknown"
#endif

int main(int argc, char **argv) { return sfxpack_main(argc, argv, SFXPACK_VERSION); }
