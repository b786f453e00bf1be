#include "com/trace.h"

#include <cstdio>

void TracePoint(const char* className, const char* text)
{
  char line[256];
  std::snprintf(line, sizeof line, "%s: \t%s", className, text);
  (void)line;
}
