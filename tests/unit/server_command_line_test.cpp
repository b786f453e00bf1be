#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "server/command_line.h"

namespace {

std::vector<std::string> Tokens(const char* tail)
{
  std::string buffer(tail);
  std::vector<std::string> tokens;
  char* cursor = buffer.data();
  while (char* token = NextSwitchToken(&cursor)) tokens.emplace_back(token);
  return tokens;
}

TEST(CommandLine, SplitsOnDashAndSlashOnly)
{
  struct Case {
    const char* tail;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"", {}},
      {"-Embedding", {"Embedding"}},
      {"/Embedding/RegServer", {"Embedding", "RegServer"}},
      {"-RegServer -Embedding", {"RegServer ", "Embedding"}},
      {"-RegServer ", {"RegServer "}},
      {"RegServer", {"RegServer"}},
      {"--//-UnregServer--RegServer-/", {"UnregServer", "RegServer"}},
      {"\t-a\tb", {"\t", "a\tb"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.tail), c.tokens) << "tail [" << c.tail << "]";
}

TEST(CommandLine, ClassifiesWholeTokensIgnoringCase)
{
  struct Case {
    const char* token;
    ServerSwitch expected;
  };
  const Case cases[] = {
      {"RegServer", ServerSwitch::Register},     {"regserver", ServerSwitch::Register},
      {"REGSERVER", ServerSwitch::Register},     {"UnregServer", ServerSwitch::Unregister},
      {"unREGserver", ServerSwitch::Unregister}, {"Embedding", ServerSwitch::Embedding},
      {"EMBEDDING", ServerSwitch::Embedding},    {"RegServer ", ServerSwitch::Other},
      {"RegServe", ServerSwitch::Other},         {"RegServerX", ServerSwitch::Other},
      {"Automation", ServerSwitch::Other},       {"", ServerSwitch::Other},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifySwitch(c.token), c.expected) << "token [" << c.token << "]";
}

}  // namespace
