// stiscan's command line, its settings in TWAIN names and numbers, and the
// lines of --version.
#include <gtest/gtest.h>

#include <vector>

#include "console/options.h"
#include "job/pulled_jobs.h"
#include "server/twain_names.h"
#include "server/version.h"

namespace {

using namespace stiscan;

bool Parse(std::vector<const char*> words, Options& options, std::string& error)
{
  words.insert(words.begin(), "stiscan");
  return ParseOptions(static_cast<int>(words.size()), words.data(), options, error);
}

TEST(StiscanOptions, CommandsAndTheirOptions)
{
  struct Case {
    std::vector<const char*> words;
    bool ok;
  };
  const Case cases[] = {
      {{"devices"}, true},
      {{"devices", "--json"}, true},
      {{"jobs", "--device", "Lab MFP", "--json"}, true},
      {{"pull", "--all", "--transfer", "memory", "--chunk", "65536", "--out", "x", "--delete"},
       true},
      {{"pull", "--job", "a.tif", "--transfer", "file", "--format", "tiff"}, true},
      {{"pull", "--format", "png"}, true},
      {{"pull", "--format", "pdf", "--jpeg-quality", "75"}, true},
      {{"pull", "--format", "jpeg", "--jpeg-quality", "100"}, true},
      {{"watch", "--pull", "--out", "x", "--format", "tiff", "--delete", "--seconds", "9"}, true},
      {{"watch", "--pull"}, true},
      {{"settings", "--set", "pixel=rgb", "--title", "Q3 report"}, true},
      {{"watch", "--seconds", "5"}, true},
      {{"doctor", "--device", "Lab MFP", "--json"}, true},
      {{"--help"}, true},
      {{"pull", "--help"}, true},
      {{"--version"}, true},
      {{"jobs", "--profile", "ann", "--store", "ann", "--qualifier", "LAB"}, true},
      {{}, false},                               // no command
      {{"scan"}, false},                         // not a command
      {{"devices", "jobs"}, false},              // two commands
      {{"--json", "devices"}, false},            // option before its command
      {{"devices", "--device", "x"}, false},     // not an option of devices
      {{"watch", "--json"}, false},              // nor of watch
      {{"pull", "--job"}, false},                // value missing
      {{"pull", "--job", "a", "--all"}, false},  // exclusive
      {{"pull", "--transfer", "fax"}, false},
      {{"pull", "--format", "gif"}, false},
      {{"pull", "--jpeg-quality", "0"}, false},
      {{"pull", "--jpeg-quality", "101"}, false},
      {{"pull", "--format", "png", "--jpeg-quality", "80"}, false},  // no JPEG in a PNG
      {{"watch", "--out", "x"}, false},                              // a pull's option, no --pull
      {{"watch", "--format", "pdf"}, false},
      {{"pull", "--pull"}, false},
      {{"pull", "--chunk", "100"}, false},          // below 4096
      {{"pull", "--chunk", "99999999999"}, false},  // above the largest
      {{"pull", "--chunk", "64k"}, false},
      {{"watch", "--seconds", "0"}, false},
      {{"doctor", "--out", "x"}, false},
      {{"doctor", "--windows-probe"}, true},
      {{"doctor", "--windows-probe", "--other-stiscan", "C:\\s\\stiscan64.exe", "--seconds", "30"},
       true},
      {{"doctor", "--windows-probe", "--probe-part", "holder"}, true},
      {{"doctor", "--windows-probe", "--probe-part", "server"}, false},  // no such part
      {{"doctor", "--probe-part", "client"}, false},                     // the probe's only
      {{"doctor", "--seconds", "30"}, false},
      {{"pull", "--windows-probe"}, false},
  };
  for (const Case& c : cases) {
    Options options;
    std::string error;
    std::string line;
    for (const char* w : c.words) line += std::string(w) + " ";
    EXPECT_EQ(Parse(c.words, options, error), c.ok) << line << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << line;
    }
  }
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"pull", "--chunk", "65536", "--transfer", "file"}, options, error));
  EXPECT_EQ(options.chunk, 65536);
  EXPECT_EQ(options.transfer, "file");
  EXPECT_EQ(options.format, "pdf");
  EXPECT_EQ(options.jpegQuality, 0);
  EXPECT_EQ(options.out, "scans");
  EXPECT_FALSE(options.version);
  ASSERT_TRUE(Parse({"--version"}, options, error));
  EXPECT_TRUE(options.version);
  EXPECT_FALSE(HelpText("").empty());
  EXPECT_NE(HelpText("").find("exit codes"), std::string::npos);
  for (const char* command : {"devices", "jobs", "pull", "settings", "watch", "doctor"})
    EXPECT_EQ(HelpText(command).rfind(std::string("stiscan ") + command, 0), 0u) << command;
  // The page files' naming rule is the user's to know.
  for (const char* command : {"pull", "watch"})
    for (const char* part :
         {"file names:", "CONIN$", "255 UTF-16 units", "never overwritten", "--jpeg-quality"})
      EXPECT_NE(HelpText(command).find(part), std::string::npos) << command << ": " << part;
  EXPECT_NE(HelpText("watch").find(kPulledJobsFile), std::string::npos);
}

TEST(StiscanVersion, ServerProgramAndLines)
{
  struct Case {
    const wchar_t* value;
    const wchar_t* program;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\stibridge\\stibridge.exe",
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"\"C:\\Program Files\\stibridge\\stibridge.exe\" -Embedding",
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"  C:\\Program Files\\x\\STIBRIDGE.EXE /Automation",
       L"C:\\Program Files\\x\\STIBRIDGE.EXE"},
      {L"C:\\a.exe.d\\b.exe", L"C:\\a.exe.d\\b.exe"},  // ".exe" inside a folder name
      {L"C:\\server ", L"C:\\server"},                 // no .exe: the whole value
      {L"\"C:\\Program Files\\stibridge\\stibridge.exe\"",  // as /RegServer writes it there
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"\"C:\\unclosed.exe", L""},
      {L"   ", L""},
      {L"", L""},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_TRUE(ServerProgramOf(cases[i].value) == cases[i].program) << "row " << i;

  InstalledServer server;
  EXPECT_EQ(VersionLines("1.0.0", server),
            "stiscan 1.0.0\nserver not registered (no LocalServer32 for its class)\n");
  server.state = InstalledServer::State::kUnreadable;
  server.program = "C:\\s.exe";
  server.problem = "0x80070002 (not found)";
  EXPECT_EQ(VersionLines("1.0.0", server),
            "stiscan 1.0.0\nserver version unknown: C:\\s.exe: 0x80070002 (not found)\n");
  server.state = InstalledServer::State::kRead;
  server.version = "1.0.0";
  EXPECT_EQ(VersionLines("1.0.0", server), "stiscan 1.0.0\nserver 1.0.0 (C:\\s.exe)\n");
  server.version = "1.0.10";
  EXPECT_EQ(VersionLines("1.0.1", server),
            "stiscan 1.0.1\nserver 1.0.10 (C:\\s.exe)\n"
            "the installed server (1.0.10) is not the version of stiscan (1.0.1)\n");
}

TEST(StiscanSettings, NamesAndNumbers)
{
  ScanSettings s;
  std::string error;
  ASSERT_TRUE(
      ApplySettingsList("pixel=rgb,paper=statement,resolution=300,format=tiff,option=on,"
                        "sizeflag=on",
                        s, error))
      << error;
  EXPECT_EQ(s.pixelType, 2);
  EXPECT_EQ(s.paperSize, 52);
  EXPECT_EQ(s.resolution, 300);
  EXPECT_EQ(s.fileFormat, 0);
  EXPECT_EQ(s.optionFlag, 1);
  EXPECT_EQ(s.sizeFlag, 1);
  ASSERT_TRUE(ApplySettingsList("pixel=1,,paper=9", s, error));
  EXPECT_EQ(s.pixelType, 1);
  EXPECT_EQ(s.paperSize, 9);
  for (const char* bad : {"pixel", "colour=rgb", "pixel=purple", "resolution=0", "resolution=-5",
                          "paper=99999", "format="}) {
    ScanSettings unchanged;
    EXPECT_FALSE(ApplySettingsList(bad, unchanged, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(PixelTypeName(2), "rgb");
  EXPECT_EQ(PaperSizeName(52), "statement");
  EXPECT_EQ(FileFormatName(6), "tiff-multi");
  EXPECT_EQ(FileFormatName(99), "99");
  EXPECT_EQ(ResolutionOfCode(4), 600);
  EXPECT_EQ(ResolutionOfCode(0), 100);
  EXPECT_EQ(ResolutionOfCode(9), 100);
}

}  // namespace
