// Trace points. The server formats a line at a few fixed places (class name
// and a fixed text) and then discards it: nothing is written to any output,
// file or debugger. The formatting is kept so that the trace points can be
// routed somewhere in a diagnostic build without touching their call sites.
#pragma once

void TracePoint(const char* className, const char* text);
