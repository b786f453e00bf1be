#include "server/command_line.h"

namespace {

bool IsDelimiter(char c)
{
  return c == '-' || c == '/';
}

char FoldAscii(char c)
{
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool EqualsIgnoringCase(const char* a, const char* b)
{
  for (; *a != 0 && *b != 0; ++a, ++b)
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  return *a == *b;
}

}  // namespace

char* NextSwitchToken(char** cursor)
{
  char* p = *cursor;
  if (p == nullptr) return nullptr;
  while (*p != 0 && IsDelimiter(*p)) ++p;
  if (*p == 0) {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  while (*p != 0 && !IsDelimiter(*p)) ++p;
  if (*p != 0) *p++ = 0;
  *cursor = p;
  return token;
}

ServerSwitch ClassifySwitch(const char* token)
{
  if (EqualsIgnoringCase(token, "UnregServer")) return ServerSwitch::Unregister;
  if (EqualsIgnoringCase(token, "RegServer")) return ServerSwitch::Register;
  if (EqualsIgnoringCase(token, "Embedding")) return ServerSwitch::Embedding;
  return ServerSwitch::Other;
}
