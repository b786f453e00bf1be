// Answers the TWAIN manager's source dialog (MSG_USERSELECT) for a program
// it starts, as a user would: picks the source named and presses OK.
//
//   select_source <product name> <program> [arguments...]
//
// The program runs with this one's standard handles. Each dialog of the
// program's process that holds the manager's list of sources (a list box
// with the id 1001 and an OK button, whatever the dialog's caption says in
// the prefix's language) is answered as soon as it is shown. Ends with the
// program's exit code, after a line on standard error:
//   "select-source: <N> dialogs answered, <M> without the source"
// A dialog whose list lacks the source is cancelled.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The manager's list of sources in its dialog.
constexpr int kSourceList = 1001;

struct Search {
  DWORD process;
  HWND dialog;
};

BOOL CALLBACK SourceDialog(HWND window, LPARAM data)
{
  auto* search = reinterpret_cast<Search*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process || !IsWindowVisible(window)) return TRUE;
  HWND list = GetDlgItem(window, kSourceList);
  wchar_t kind[32] = {};
  if (list == nullptr || GetDlgItem(window, IDOK) == nullptr ||
      GetClassNameW(list, kind, 32) == 0 || lstrcmpiW(kind, L"ListBox") != 0)
    return TRUE;
  search->dialog = window;
  return FALSE;
}

// Picks the source in the dialog's list and presses OK, or Cancel when it
// is not listed. Whether it was listed.
bool Answer(HWND dialog, const std::wstring& source)
{
  HWND list = GetDlgItem(dialog, kSourceList);
  DWORD_PTR index = static_cast<DWORD_PTR>(LB_ERR);
  const bool found = SendMessageTimeoutW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(source.c_str()), SMTO_ABORTIFHUNG,
                                         10000, &index) != 0 &&
                     index != static_cast<DWORD_PTR>(LB_ERR);
  DWORD_PTR ignored = 0;
  if (found) SendMessageTimeoutW(list, LB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
  const int button = found ? IDOK : IDCANCEL;
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
  if (argc < 3) {
    std::fprintf(stderr, "usage: select_source <product name> <program> [arguments...]\n");
    return 2;
  }
  const std::wstring source = argv[1];
  std::wstring command;
  for (int i = 2; i < argc; ++i)
    command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &started)) {
    std::fprintf(stderr, "select-source: could not start the program (error %lu)\n",
                 GetLastError());
    return 2;
  }
  CloseHandle(started.hThread);

  int answered = 0, without = 0;
  HWND last = nullptr;
  // A dialog is answered once; it is looked for again while the program runs.
  while (WaitForSingleObject(started.hProcess, 50) == WAIT_TIMEOUT) {
    Search search = {started.dwProcessId, nullptr};
    EnumWindows(SourceDialog, reinterpret_cast<LPARAM>(&search));
    if (search.dialog == nullptr || search.dialog == last) continue;
    last = search.dialog;
    ++answered;
    if (!Answer(search.dialog, source)) ++without;
  }
  DWORD code = 1;
  GetExitCodeProcess(started.hProcess, &code);
  CloseHandle(started.hProcess);
  std::fprintf(stderr, "select-source: %d dialogs answered, %d without the source\n", answered,
               without);
  return static_cast<int>(code);
}
