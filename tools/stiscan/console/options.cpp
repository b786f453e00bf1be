#include "console/options.h"

#include <cstdlib>
#include <cstring>

namespace stiscan {

namespace {

const char* const kCommands[] = {"devices", "jobs", "pull", "settings", "watch", "doctor"};

bool IsCommand(const std::string& word)
{
  for (const char* command : kCommands)
    if (word == command) return true;
  return false;
}

// The options each command takes, besides --help and the profile strings.
bool Takes(const std::string& command, const std::string& option)
{
  if (option == "--json") return command != "watch";
  if (option == "--device") return command != "devices";
  // What a pull writes, and how it reads it: a pull's, and a watch's that pulls.
  const bool pulling = option == "--transfer" || option == "--format" ||
                       option == "--jpeg-quality" || option == "--chunk" || option == "--out" ||
                       option == "--delete";
  if (command == "pull") return pulling || option == "--job" || option == "--all";
  if (command == "settings") return option == "--set" || option == "--title";
  if (command == "watch") return pulling || option == "--seconds" || option == "--pull";
  if (command == "doctor")
    return option == "--windows-probe" || option == "--probe-part" || option == "--other-stiscan" ||
           option == "--seconds";
  return false;
}

// What the options of pull and watch --pull say together; empty when it holds.
std::string PullProblem(const Options& options, bool pullOptionGiven)
{
  if (options.command == "watch" && !options.pull && pullOptionGiven)
    return "watch takes --out, --format and the other options of a pull only with --pull.";
  if (options.jpegQuality != 0 && options.format != "pdf" && options.format != "jpeg")
    return "--jpeg-quality goes with --format pdf or jpeg.";
  return "";
}

bool ParseNumber(const std::string& text, long low, long high, long& value)
{
  if (text.empty()) return false;
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  if (*end != 0 || number < low || number > high) return false;
  value = static_cast<long>(number);
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error)
{
  bool pullOptionGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h" || word == "--version") {
      (word == "--version" ? options.version : options.help) = true;
      continue;
    }
    if (word.rfind("--", 0) != 0) {
      if (!options.command.empty() || !IsCommand(word)) {
        error = "\"" + word + "\" is not a command (devices, jobs, pull, settings, watch, doctor).";
        return false;
      }
      options.command = word;
      continue;
    }
    const bool profileOption = word == "--profile" || word == "--qualifier" || word == "--store";
    if (!profileOption && (options.command.empty() || !Takes(options.command, word))) {
      error = options.command.empty()
                  ? "the option " + word + " comes after a command."
                  : "the command " + options.command + " takes no option " + word + ".";
      return false;
    }
    pullOptionGiven = pullOptionGiven || (!profileOption && Takes("pull", word) &&
                                          word != "--json" && word != "--device");
    // Switches.
    if (word == "--json" || word == "--all" || word == "--delete" || word == "--pull" ||
        word == "--windows-probe") {
      (word == "--json"            ? options.json
       : word == "--all"           ? options.all
       : word == "--delete"        ? options.deleteAfter
       : word == "--windows-probe" ? options.windowsProbe
                                   : options.pull) = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = "the option " + word + " needs a value.";
      return false;
    }
    const std::string value = argv[++i];
    long number = 0;
    if (word == "--device") {
      options.device = value;
    } else if (word == "--job") {
      options.job = value;
    } else if (word == "--transfer") {
      if (value != "native" && value != "memory" && value != "file") {
        error = "--transfer takes native, memory or file, not \"" + value + "\".";
        return false;
      }
      options.transfer = value;
    } else if (word == "--format") {
      if (value != "pdf" && value != "tiff" && value != "png" && value != "jpeg" &&
          value != "bmp") {
        error = "--format takes pdf, tiff, png, jpeg or bmp, not \"" + value + "\".";
        return false;
      }
      options.format = value;
    } else if (word == "--jpeg-quality") {
      if (!ParseNumber(value, 1, 100, number)) {
        error = "--jpeg-quality takes a number from 1 to 100, not \"" + value + "\".";
        return false;
      }
      options.jpegQuality = static_cast<int>(number);
    } else if (word == "--chunk") {
      if (!ParseNumber(value, 4096, kLargestChunk, number)) {
        error = "--chunk takes a number of bytes from 4096 to " + std::to_string(kLargestChunk) +
                ", not \"" + value + "\".";
        return false;
      }
      options.chunk = number;
    } else if (word == "--out") {
      options.out = value;
    } else if (word == "--set") {
      options.set = value;
    } else if (word == "--title") {
      options.title = value;
      options.titleGiven = true;
    } else if (word == "--seconds") {
      if (!ParseNumber(value, 1, 86400, number)) {
        error = "--seconds takes a number from 1 to 86400, not \"" + value + "\".";
        return false;
      }
      options.seconds = static_cast<int>(number);
      options.secondsGiven = true;
    } else if (word == "--probe-part") {
      if (value != "client" && value != "wayout" && value != "holder") {
        error = "--probe-part takes client, wayout or holder, not \"" + value + "\".";
        return false;
      }
      options.probePart = value;
    } else if (word == "--other-stiscan") {
      options.otherStiscan = value;
    } else if (word == "--profile") {
      options.profile = value;
    } else if (word == "--qualifier") {
      options.qualifier = value;
    } else {
      options.store = value;
    }
  }
  if (options.command.empty() && !options.help && !options.version) {
    error = "no command given (devices, jobs, pull, settings, watch, doctor); see stiscan --help.";
    return false;
  }
  if (options.command == "doctor" && !options.windowsProbe &&
      (!options.probePart.empty() || !options.otherStiscan.empty() || options.secondsGiven)) {
    error = "doctor takes --probe-part, --other-stiscan and --seconds only with --windows-probe.";
    return false;
  }
  if (!options.job.empty() && options.all) {
    error = "--job and --all exclude each other.";
    return false;
  }
  error = PullProblem(options, pullOptionGiven);
  return error.empty();
}

namespace {

const std::string kPullOptions =
    "  --format FORMAT     pdf (the default) and tiff: one file per job with all its pages;\n"
    "                      png, jpeg and bmp: one file per page. Black-and-white pages stay\n"
    "                      1 bit (but in JPEG: 8), grey ones 8; each file says its pages'\n"
    "                      resolution. --transfer file writes the scanner's own file with\n"
    "                      bmp and tiff (one per page), and makes the others from its BMP\n"
    "  --jpeg-quality N    1 to 100: PDF pages in colour or grey as JPEG of that quality\n"
    "                      (default: lossless); --format jpeg's quality (default 90)\n"
    "  --chunk BYTES       bytes per read, 4096 to 67108864 (default 1048576)\n"
    "  --out DIR           where the files go (default: scans); made if missing\n"
    "  --delete            let the scanner delete the jobs that came over whole when\n"
    "                      your delete-after-scan option is on: each job on its own, once\n"
    "                      its files are on the disk and it is in DIR's stiscan-pulled.txt,\n"
    "                      and confirmed by the scanner's list. A deletion that did not\n"
    "                      happen is reported and stays in that list as pending, to be\n"
    "                      tried again by the next watch --pull --delete or pull --delete\n"
    "                      (which delete such a job rather than pull it again, when the\n"
    "                      scanner stores it with a time and no other job of its name\n"
    "                      and time; else it is pulled again)\n";

const std::string kFileNames =
    "file names:\n"
    "  <job>.pdf and <job>.tif, <job>-p<page>.png (.jpg, .bmp; .tif for the scanner's own\n"
    "  TIFF files), <job> being the job's item name without its extension (a last dot and\n"
    "  one to five letters or digits). Every character a Windows file name may hold is\n"
    "  kept; < > : \" / \\ | ? * and control characters (and halves of surrogate pairs)\n"
    "  become _, and a name whose part before its first dot is a device's (CON, PRN, AUX,\n"
    "  NUL, COM0-COM9, LPT0-LPT9, CONIN$, CONOUT$, in any case) gets a _ in front. <job> is\n"
    "  cut at a whole character so that the name holds at most 255 UTF-16 units and at\n"
    "  most 255 bytes of UTF-8 (what Linux file systems hold: behind a share, or under\n"
    "  Wine). A file that is there already is never overwritten: the job's files then\n"
    "  get \" (2)\", \" (3)\", ... after <job>, one number for all of them. Every file of a\n"
    "  job is written whole under a temporary name and flushed to the disk first, and the\n"
    "  files take their names once all of them are there, so that none is ever left half\n"
    "  written. A PDF or TIFF is written page by page, never held whole; a job that would\n"
    "  make a TIFF over 4 GB (a TIFF's limit) is refused before its first page. The\n"
    "  folder's path may be of any length.\n";

}  // namespace

std::string HelpText(const std::string& command)
{
  const std::string common =
      "  --device NAME      the scanner by its name in `stiscan devices` (default: the only one)\n"
      "  --profile NAME     the user's profile name (default: the Windows user name)\n"
      "  --qualifier TEXT   the profile qualifier (default: STISCAN)\n"
      "  --store NAME       the user's store on the scanner (default: the profile name)\n";
  if (command == "devices")
    return "stiscan devices [--json]\n"
           "  Lists the scanners the server accepts, with their model family.\n";
  if (command == "jobs")
    return "stiscan jobs [--device NAME] [--json]\n"
           "  Lists the jobs stored on the scanner: item name, document name, pages, pixel type,\n"
           "  resolution, size, time, and whether they are yours (so that you may pull them).\n"
           "  Long names are cut to the column with \"\xE2\x80\xA6\"; --json gives them whole.\n" +
           common;
  if (command == "pull")
    return "stiscan pull [--device NAME] [--job NAME | --all] [--transfer native|memory|file]\n"
           "             [--format pdf|tiff|png|jpeg|bmp] [--jpeg-quality N] [--chunk BYTES]\n"
           "             [--out DIR] [--delete] [--json]\n"
           "  Brings the pages of stored jobs over, page by page, and writes them as documents.\n"
           "  Every job is attempted: a job that fails is reported, leaves no file behind, and\n"
           "  the pull goes on with the next; the exit code is then 6, as it is when a job is\n"
           "  not ready (the scanner gives it no page count yet) or a deletion did not happen.\n"
           "  A scanner server that ends during the pull is replaced by a new one, which the\n"
           "  pull goes on with.\n"
           "  --job NAME          one job by its item name; --all (the default): every job of\n"
           "                      yours\n" +
           kPullOptions + common + kFileNames;
  if (command == "settings")
    return "stiscan settings [--device NAME] [--set LIST] [--title TEXT] [--json]\n"
           "  Shows the scan settings in TWAIN terms and the job-name prefix; with --set or\n"
           "  --title changes them. LIST is name=value pairs separated by commas:\n"
           "    pixel=bw|grey|rgb  paper=none|a4|letter|legal|a5|ledger|executive|a3|statement\n"
           "    resolution=DPI  format=tiff|bmp|jpeg|tiff-multi  option=on|off  sizeflag=on|off\n" +
           common;
  if (command == "watch")
    return "stiscan watch [--device NAME] [--seconds N]\n"
           "stiscan watch --pull [--out DIR] [--format ...] [--delete] [the options of pull]\n"
           "  Reports the scanner's \"JobEnded\" and \"ItemDeleted\" signals as they come\n"
           "  (for N seconds, default 30).\n"
           "  With --pull it is a scan-to-folder: every job of yours that is stored on the\n"
           "  scanner, and every one that ends while it runs, is pulled into DIR as pull does\n"
           "  it. It keeps the jobs it pulled in DIR's stiscan-pulled.txt (by item name and\n"
           "  time; a job stored without a time by its name, pages and size, for as long as\n"
           "  the scanner lists it), so that it pulls no job twice, also when it is started\n"
           "  again; a server that ends or dies is reached again. One watch per folder: a\n"
           "  second one says which process watches it and ends with exit code 3. It runs\n"
           "  until Ctrl+C (or for --seconds N), which leaves no file half written: a job cut\n"
           "  short is pulled whole next time. The exit code is 6 when a job failed or a\n"
           "  deletion is still pending, and not 0 when the watch could not watch.\n" +
           kPullOptions + common + kFileNames;
  if (command == "doctor")
    return "stiscan doctor [--device NAME] [--json]\n"
           "stiscan doctor --windows-probe [--other-stiscan PATH] [--seconds N]\n"
           "  Checks what a data source needs, in the order it meets it, and says for\n"
           "  each check what it found and, when it fails, the one thing to do. It\n"
           "  changes nothing.\n"
           "    server registration  the class's LocalServer32 (64-bit registry view)\n"
           "                         names a 64-bit program that exists\n"
           "    proxy, 32-bit view   the interface's proxy/stub is registered for 32-bit\n"
           "    proxy, 64-bit view   and for 64-bit programs, a DLL of that bitness that\n"
           "                         exports DllGetClassObject and DllCanUnloadNow (from\n"
           "                         the 64-bit stiscan, the 32-bit one's where a 32-bit\n"
           "                         program finds it)\n"
           "    class key, 32-bit view  none: a 32-bit class registration would be given\n"
           "                         to 32-bit clients that do not ask for the 64-bit\n"
           "                         server (a warning)\n"
           "    activation           CoCreateInstance answers within 30 s (tried when the\n"
           "                         server and this stiscan's proxy are registered)\n"
           "    scanners             the STI devices and which of them the server accepts\n"
           "                         (by its model table when it cannot be asked)\n"
           "    values of NAME       each accepted scanner's device values \"UserDataKey\"\n"
           "                         and \"FilingPath\", and that the folder exists\n"
           "    your settings for NAME  the key UserDataKey names under HKEY_CURRENT_USER,\n"
           "                         and whether a PIN is set in it (the PIN is never\n"
           "                         shown; none set is a warning)\n"
           "  --device NAME   the values and settings of that scanner only (default: of\n"
           "                  every accepted one)\n"
           "  --json          one object: works (null from the 64-bit stiscan when no\n"
           "                  check failed), exitCode, bits, and checks, each with id,\n"
           "                  title, scanner, status (ok, warning, failed, skipped), found\n"
           "                  and remedy\n"
           "  Only the 32-bit stiscan, a data source's bitness, can try what a data source\n"
           "  does and says whether a data source would work; the 64-bit one says what it\n"
           "  could not try. The exit code is 0 when no check failed (warnings allowed),\n"
           "  else that of the first check that failed: 5 not registered (the registration\n"
           "  and proxy checks, and an activation that COM refuses so), 3 no scanner the\n"
           "  server accepts, 1 another failure.\n"
           "  --windows-probe  instead of the checks, measures once what differs between\n"
           "                  Windows and Wine in the server's dealings with its clients\n"
           "                  and prints it as one JSON object for a report (see the\n"
           "                  integration guide): activation from this stiscan and from\n"
           "                  the one of the other bitness (--other-stiscan PATH, else\n"
           "                  stiscan64.exe or stiscan32.exe beside this one), what the\n"
           "                  server learned of each caller, the owner check, the way\n"
           "                  out, and how long a killed client's object lives (waiting\n"
           "                  up to --seconds N, default 420). It changes nothing; exit\n"
           "                  code 0 when the server could be activated, else 1.\n"
           "                  (--probe-part client, wayout or holder: the parts it runs\n"
           "                  in processes of its own.)\n";
  return "stiscan: the data source's side of the scanner server, on the command line.\n"
         "\n"
         "usage: stiscan COMMAND [OPTIONS]    stiscan COMMAND --help\n"
         "       stiscan --version            stiscan's version and the installed server's\n"
         "\n"
         "commands:\n"
         "  devices    the scanners the server accepts\n"
         "  jobs       the jobs stored on a scanner\n"
         "  pull       bring stored jobs over as documents (PDF, TIFF, PNG, JPEG, BMP)\n"
         "  settings   show or change the scan settings\n"
         "  watch      report the scanner's job-ended and item-deleted signals, or pull\n"
         "             every job as it ends into a folder (--pull)\n"
         "  doctor     check what a data source needs, from the registration to the PIN\n"
         "\n"
         "exit codes:\n"
         "  0  success\n"
         "  1  another failure (the message says which)\n"
         "  2  usage error\n"
         "  3  no such scanner, or none the server accepts; or the folder is another\n"
         "     stiscan's, which keeps its list of pulled jobs (watch --pull, pull --delete)\n"
         "  4  access denied (a job of another user, a store that refuses you, a folder\n"
         "     you may not write to)\n"
         "  5  the server is not registered (install it, or run stibridge.exe /RegServer and\n"
         "     register both proxies)\n"
         "  6  a transfer failed, a job was not ready, a deletion did not happen, or the\n"
         "     folder's list of pulled jobs could not be written\n";
}

}  // namespace stiscan
