/* The smallest ordinary Windows program: no runtime, one import, ends at
   once. Packed, it shows what the loader itself costs at start-up. */
#include <windows.h>

void tiny_entry(void) { ExitProcess(0); }
