/* The program around Wine's own test of its TWAIN manager (dsm.c, from the
 * source of Debian's wine package, which scripts/setup fetches): what
 * Wine's build generates for each test program, the list of its tests, and
 * the one function of Wine's ntdll that Wine's test header needs and
 * mingw's ntdll does not export. */
#include <windows.h>

#define STANDALONE
#include "wine/test.h"

/* A copy of a debug string, valid for the next few: what the test header
 * formats its timings through. */
const char* __cdecl __wine_dbg_strdup(const char* text)
{
  static char ring[16][256];
  static LONG next;
  char* copy = ring[(unsigned long)InterlockedIncrement(&next) % 16];
  lstrcpynA(copy, text, sizeof ring[0]);
  return copy;
}

extern void func_dsm(void);

const struct test winetest_testlist[] = {{"dsm", func_dsm}, {0, 0}};
