// What a fuzz target does when an input breaks one of its rules: say which
// rule, in words, and abort, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void FuzzFailure(const char* format, ...)
{
  std::fputs("\n*** fuzz check failed: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// FUZZ_CHECK(condition, printf-style message...)
#define FUZZ_CHECK(condition, ...)              \
  do {                                          \
    if (!(condition)) FuzzFailure(__VA_ARGS__); \
  } while (false)
