#include "source/job_dialog.h"

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "source/job_dialog_ids.h"
#include "source/session.h"

namespace twainds {

namespace {

// This module, whose resources hold the dialog's template.
HINSTANCE ThisModule()
{
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::wstring TypeText(int pixelType)
{
  switch (pixelType) {
    case TWPT_BW:
      return L"black and white";
    case TWPT_GRAY:
      return L"grey";
    case TWPT_RGB:
      return L"colour";
    default:
      return L"";
  }
}

std::wstring TimeText(const Job& job)
{
  if (!job.timed) return L"";
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u", job.time.wYear, job.time.wMonth,
                job.time.wDay, job.time.wHour, job.time.wMinute);
  return text;
}

struct Column {
  const wchar_t* title;
  int width;
};
const Column kColumns[] = {{L"Job", 110}, {L"Document", 160},  {L"Pages", 45},
                           {L"Type", 95}, {L"Resolution", 70}, {L"Scanned", 110}};

}  // namespace

std::unique_ptr<JobDialog> JobDialog::Create(Session& session, HWND parent,
                                             const std::vector<Job>& jobs)
{
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  std::unique_ptr<JobDialog> dialog(new JobDialog(session));
  dialog->window_ = CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(IDD_JOBS),
                                       IsWindow(parent) ? parent : nullptr, Procedure,
                                       reinterpret_cast<LPARAM>(dialog.get()));
  if (dialog->window_ == nullptr) return nullptr;
  ListView_SetExtendedListViewStyle(dialog->list_, LVS_EX_FULLROWSELECT);
  for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(kColumns[i].title);
    column.cx = kColumns[i].width;
    ListView_InsertColumn(dialog->list_, i, &column);
  }
  dialog->Refill(jobs);
  ShowWindow(dialog->window_, SW_SHOW);
  return dialog;
}

JobDialog::~JobDialog()
{
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, DWLP_USER, 0);
    DestroyWindow(window_);
  }
}

bool JobDialog::Message(MSG* message)
{
  return window_ != nullptr && IsDialogMessageW(window_, message);
}

void JobDialog::Refill(const std::vector<Job>& jobs)
{
  // Only what the user may see: the user's jobs, and those still being
  // scanned, whose owner the scanner tells only once they are ready.
  jobs_.clear();
  for (const Job& job : jobs)
    if (job.yours || !job.ready) jobs_.push_back(job);
  ListView_DeleteAllItems(list_);
  for (size_t i = 0; i < jobs_.size(); ++i) {
    const Job& job = jobs_[i];
    const std::wstring cells[] = {job.name,
                                  job.document,
                                  job.pages > 0 ? std::to_wstring(job.pages) : L"",
                                  TypeText(job.pixelType),
                                  job.dpi > 0 ? std::to_wstring(job.dpi) + L" dpi" : L"",
                                  TimeText(job)};
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<wchar_t*>(cells[0].c_str());
    item.lParam = static_cast<LPARAM>(i);
    const int row = ListView_InsertItem(list_, &item);
    for (int column = 1; column < static_cast<int>(std::size(cells)); ++column)
      ListView_SetItemText(list_, row, column, const_cast<wchar_t*>(cells[column].c_str()));
  }
  UpdateButton();
}

void JobDialog::Enable(bool on)
{
  enabled_ = on;
  EnableWindow(window_, on ? TRUE : FALSE);
}

void JobDialog::UpdateButton()
{
  EnableWindow(GetDlgItem(window_, IDOK), ListView_GetSelectedCount(list_) > 0 ? TRUE : FALSE);
}

void JobDialog::Transfer()
{
  std::vector<Job> chosen;
  for (int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list_, row, LVNI_SELECTED)) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (ListView_GetItem(list_, &item) && item.lParam >= 0 &&
        static_cast<size_t>(item.lParam) < jobs_.size() && jobs_[item.lParam].Takeable())
      chosen.push_back(jobs_[item.lParam]);
  }
  session_.Chosen(chosen);
}

INT_PTR JobDialog::Notified(NMHDR* header)
{
  if (header->idFrom != IDC_JOBS) return FALSE;
  switch (header->code) {
    case NM_CUSTOMDRAW: {
      // Jobs that cannot be taken are drawn greyed.
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      LRESULT result = CDRF_DODEFAULT;
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
        result = CDRF_NOTIFYITEMDRAW;
      } else if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const size_t at = static_cast<size_t>(draw->nmcd.lItemlParam);
        if (at < jobs_.size() && !jobs_[at].Takeable()) draw->clrText = GetSysColor(COLOR_GRAYTEXT);
      }
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
      return TRUE;
    }
    case LVN_ITEMCHANGING: {
      // ... and cannot be selected.
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      const size_t at = static_cast<size_t>(change->lParam);
      const bool selecting =
          (change->uChanged & LVIF_STATE) != 0 && (change->uNewState & LVIS_SELECTED) != 0;
      const bool refused = selecting && at < jobs_.size() && !jobs_[at].Takeable();
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, refused ? TRUE : FALSE);
      return TRUE;
    }
    case LVN_ITEMCHANGED:
      UpdateButton();
      return TRUE;
    case NM_DBLCLK:
      if (ListView_GetSelectedCount(list_) > 0) Transfer();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK JobDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<JobDialog*>(lParam);
    dialog->window_ = window;
    dialog->list_ = GetDlgItem(window, IDC_JOBS);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    return TRUE;
  }
  auto* dialog = reinterpret_cast<JobDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        dialog->Transfer();
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        dialog->session_.Cancelled();
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      dialog->session_.Cancelled();
      return TRUE;
    case WM_NOTIFY:
      return dialog->Notified(reinterpret_cast<NMHDR*>(lParam));
    default:
      return FALSE;
  }
}

}  // namespace twainds
