#include "source/job_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "source/job_dialog_ids.h"
#include "source/scanner_signals.h"
#include "source/session.h"
#include "source/strings.h"
#include "source/thumbnails.h"

namespace twainds {

namespace {

// The window's own messages: a signal of the scanner's came; pictures are
// ready to be taken.
constexpr UINT kSignalled = WM_APP + 40;
constexpr UINT kPictures = WM_APP + 41;
// The session's listing goes on (Session::Listing).
constexpr UINT kListMore = WM_APP + 42;
// Timers: the listing every few seconds where the signals cannot be had,
// and a listing that had to wait for the source to be free.
constexpr UINT_PTR kPollTimer = 1, kRetryTimer = 2;
constexpr UINT kPollMs = 3000, kRetryMs = 300;

// Room a list column needs beside its text: the header's and the cells'
// margins on both sides.
constexpr int kColumnMargin = 16;

std::wstring TypeText(int pixelType)
{
  switch (pixelType) {
    case TWPT_BW:
      return Text(IDS_TYPE_BW);
    case TWPT_GRAY:
      return Text(IDS_TYPE_GREY);
    case TWPT_RGB:
      return Text(IDS_TYPE_COLOUR);
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

// The texts of a job's columns, in the columns' order.
std::vector<std::wstring> Cells(const Job& job)
{
  return {job.name,
          job.document,
          job.pages > 0 ? std::to_wstring(job.pages) : L"",
          TypeText(job.pixelType),
          job.dpi > 0 ? Format(IDS_DPI, {std::to_wstring(job.dpi)}) : L"",
          TimeText(job)};
}

constexpr UINT kColumnTitles[] = {IDS_COLUMN_JOB,  IDS_COLUMN_DOCUMENT,   IDS_COLUMN_PAGES,
                                  IDS_COLUMN_TYPE, IDS_COLUMN_RESOLUTION, IDS_COLUMN_SCANNED};
constexpr int kColumns = static_cast<int>(std::size(kColumnTitles));

// A tile's bitmap of `pixels` (kTileSide square, top-down B, G, R, A).
HBITMAP TileBitmap(const std::vector<unsigned char>& pixels)
{
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kTileSide;
  info.bmiHeader.biHeight = -kTileSide;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) return bitmap;
  std::memcpy(bits, pixels.data(), std::min<size_t>(pixels.size(), 4u * kTileSide * kTileSide));
  GdiFlush();
  return bitmap;
}

// The placeholder of a job without a picture: a blank page's outline.
std::vector<unsigned char> Placeholder()
{
  std::vector<unsigned char> pixels(4u * kTileSide * kTileSide);
  const COLORREF window = GetSysColor(COLOR_WINDOW), face = GetSysColor(COLOR_BTNFACE),
                 edge = GetSysColor(COLOR_GRAYTEXT);
  const int left = 18, right = kTileSide - 18, top = 6, bottom = kTileSide - 6;
  for (int y = 0; y < kTileSide; ++y)
    for (int x = 0; x < kTileSide; ++x) {
      const bool inside = x >= left && x < right && y >= top && y < bottom;
      const bool border = inside && (x == left || x == right - 1 || y == top || y == bottom - 1);
      const COLORREF colour = border ? edge : inside ? face : window;
      unsigned char* p = &pixels[4u * static_cast<size_t>(y * kTileSide + x)];
      p[0] = GetBValue(colour);
      p[1] = GetGValue(colour);
      p[2] = GetRValue(colour);
      p[3] = 255;
    }
  return pixels;
}

}  // namespace

JobDialog::JobDialog(Session& session) : session_(session) {}

std::unique_ptr<JobDialog> JobDialog::Create(Session& session, HWND parent,
                                             const std::vector<Job>& jobs)
{
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  std::unique_ptr<JobDialog> dialog(new JobDialog(session));
  dialog->window_ = CreateDialogParamW(SourceModule(), MAKEINTRESOURCEW(IDD_JOBS),
                                       IsWindow(parent) ? parent : nullptr, Procedure,
                                       reinterpret_cast<LPARAM>(dialog.get()));
  if (dialog->window_ == nullptr) return nullptr;
  dialog->thumbnails_ = std::make_unique<Thumbnails>(dialog->window_, kPictures);
  dialog->Refill(jobs);
  // The scanner's signals, else the timer.
  Connection& scanner = session.Scanner();
  dialog->registered_ = SUCCEEDED(scanner.RegisterEvents());
  dialog->signals_ = std::make_unique<ScannerSignals>();
  if (!dialog->registered_ || !dialog->signals_->Start(dialog->window_, kSignalled)) {
    dialog->signals_.reset();
    dialog->polling_ = SetTimer(dialog->window_, kPollTimer, kPollMs, nullptr) != 0;
  }
  ShowWindow(dialog->window_, SW_SHOW);
  SetFocus(dialog->list_);
  return dialog;
}

JobDialog::~JobDialog()
{
  // No signal is waited on and no picture made past the window's end.
  signals_.reset();
  thumbnails_.reset();
  if (registered_) session_.Scanner().UnregisterEvents();
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, DWLP_USER, 0);
    DestroyWindow(window_);
  }
}

void JobDialog::Initialise()
{
  Connection& scanner = session_.Scanner();
  SetWindowTextW(window_,
                 Format(IDS_JOBS_TITLE, {scanner.ScannerName(), scanner.UserName()}).c_str());
  SetDlgItemTextW(window_, IDC_JOBS_NOTE, Text(IDS_JOBS_NOTE).c_str());
  SetDlgItemTextW(window_, IDOK, Text(IDS_JOBS_TRANSFER).c_str());
  SetDlgItemTextW(window_, IDCANCEL, Text(IDS_JOBS_CANCEL).c_str());
  SetDlgItemTextW(window_, IDC_JOBS_REFRESH, Text(IDS_JOBS_REFRESH).c_str());
  SetDlgItemTextW(window_, IDC_JOBS_EMPTY,
                  Format(IDS_JOBS_EMPTY, {scanner.UserName(), scanner.ScannerName()}).c_str());
  ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
  images_ = ImageList_Create(kTileSide, kTileSide, ILC_COLOR32, 1, 16);
  if (images_ != nullptr) {
    const HBITMAP placeholder = TileBitmap(Placeholder());
    ImageList_Add(images_, placeholder, nullptr);
    DeleteObject(placeholder);
    // The list destroys it with itself.
    ListView_SetImageList(list_, images_, LVSIL_SMALL);
  }
  for (int i = 0; i < kColumns; ++i) {
    const std::wstring title = Text(kColumnTitles[i]);
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(title.c_str());
    column.cx = 60;
    ListView_InsertColumn(list_, i, &column);
  }
}

void JobDialog::SizeColumns()
{
  // Each column as wide as its title and its widest cell, measured in the
  // list's font (the dialog's, at the screen's resolution); the first
  // holds the picture too.
  for (int i = 0; i < kColumns; ++i) {
    const std::wstring title = Text(kColumnTitles[i]);
    int width = ListView_GetStringWidth(list_, title.c_str()) + kColumnMargin;
    const int picture = i == 0 ? kTileSide + 2 * GetSystemMetrics(SM_CXEDGE) : 0;
    for (const Job& job : jobs_) {
      const std::wstring cell = Cells(job)[static_cast<size_t>(i)];
      width =
          std::max(width, ListView_GetStringWidth(list_, cell.c_str()) + kColumnMargin + picture);
    }
    ListView_SetColumnWidth(list_, i, std::max(width, picture + kColumnMargin));
  }
}

std::wstring JobDialog::KeyOf(const Job& job)
{
  return job.name + L"|" + job.thumbnail + L"|" + TimeText(job);
}

const Job* JobDialog::JobOf(int row) const
{
  LVITEMW item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (!ListView_GetItem(list_, &item) || item.lParam < 0 ||
      static_cast<size_t>(item.lParam) >= jobs_.size())
    return nullptr;
  return &jobs_[static_cast<size_t>(item.lParam)];
}

int JobDialog::InsertRow(size_t at)
{
  const Job& job = jobs_[at];
  const std::wstring key = KeyOf(job);
  const auto known = imageOf_.find(key);
  if (known == imageOf_.end() && !job.thumbnail.empty() && thumbnails_ != nullptr &&
      asked_.insert(key).second)
    thumbnails_->Request(key, job.thumbnail);
  const std::vector<std::wstring> cells = Cells(job);
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
  item.iItem = static_cast<int>(at);
  item.pszText = const_cast<wchar_t*>(cells[0].c_str());
  item.lParam = static_cast<LPARAM>(at);
  item.iImage = known != imageOf_.end() ? known->second : 0;
  const int row = ListView_InsertItem(list_, &item);
  for (int column = 1; column < kColumns; ++column)
    ListView_SetItemText(list_, row, column,
                         const_cast<wchar_t*>(cells[static_cast<size_t>(column)].c_str()));
  return row;
}

void JobDialog::Append(const std::vector<Job>& jobs)
{
  const bool chosen = ListView_GetSelectedCount(list_) > 0;
  int first = -1;
  for (const Job& job : jobs) {
    if (!job.yours && job.ready) continue;
    jobs_.push_back(job);
    const int row = InsertRow(jobs_.size() - 1);
    if (job.Takeable() && first < 0) first = row;
  }
  // Until a job can be chosen, the first one listed is.
  if (!filled_ && first >= 0 && !chosen)
    ListView_SetItemState(list_, first, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  filled_ = filled_ || first >= 0 || !session_.Listing();
  ShowWindow(list_, jobs_.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(GetDlgItem(window_, IDC_JOBS_EMPTY), jobs_.empty() ? SW_SHOW : SW_HIDE);
  UpdateChosen();
}

void JobDialog::Refill(const std::vector<Job>& jobs)
{
  // What the user chose stays chosen: by name, as a listing numbers anew.
  std::set<std::wstring> chosen;
  for (int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list_, row, LVNI_SELECTED))
    if (const Job* job = JobOf(row)) chosen.insert(job->name);
  std::wstring focused;
  if (const Job* job = JobOf(ListView_GetNextItem(list_, -1, LVNI_FOCUSED))) focused = job->name;

  // Only what the user may see: the user's jobs, and those still being
  // scanned, whose owner the scanner tells only once they are ready.
  jobs_.clear();
  for (const Job& job : jobs)
    if (job.yours || !job.ready) jobs_.push_back(job);
  SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list_);
  int first = -1;
  for (size_t i = 0; i < jobs_.size(); ++i) {
    const Job& job = jobs_[i];
    const int row = InsertRow(i);
    if (job.Takeable()) {
      if (first < 0) first = row;
      if (chosen.count(job.name) != 0)
        ListView_SetItemState(list_, row, LVIS_SELECTED, LVIS_SELECTED);
    }
    if (job.name == focused) ListView_SetItemState(list_, row, LVIS_FOCUSED, LVIS_FOCUSED);
  }
  // On opening, the first job that can be taken is chosen.
  if (!filled_ && first >= 0 && chosen.empty()) {
    ListView_SetItemState(list_, first, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list_, first, FALSE);
  }
  // Until a job can be chosen, the first one listed later is.
  filled_ = filled_ || first >= 0 || !session_.Listing();
  SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list_, nullptr, TRUE);

  // An empty list says so, and what to do.
  ShowWindow(list_, jobs_.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(GetDlgItem(window_, IDC_JOBS_EMPTY), jobs_.empty() ? SW_SHOW : SW_HIDE);
  // Whether the jobs go from the scanner after the transfer, as the user's
  // option says now.
  bool deletes = false;
  session_.Scanner().DeleteAfterScan(deletes);
  SetDlgItemTextW(window_, IDC_JOBS_DELETE,
                  Text(deletes ? IDS_JOBS_DELETED : IDS_JOBS_KEPT).c_str());
  SizeColumns();
  UpdateChosen();
}

void JobDialog::Enable(bool on)
{
  enabled_ = on;
  EnableWindow(window_, on ? TRUE : FALSE);
}

void JobDialog::UpdateChosen()
{
  int jobs = 0, pages = 0, ready = 0;
  for (const Job& job : jobs_) ready += job.Takeable() ? 1 : 0;
  for (int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list_, row, LVNI_SELECTED))
    if (const Job* job = JobOf(row); job != nullptr && job->Takeable()) {
      ++jobs;
      pages += job->pages;
    }
  SetDlgItemTextW(window_, IDC_JOBS_CHOSEN,
                  Format(IDS_JOBS_CHOSEN,
                         {std::to_wstring(jobs), std::to_wstring(ready), std::to_wstring(pages)})
                      .c_str());
  EnableWindow(GetDlgItem(window_, IDOK), jobs > 0 ? TRUE : FALSE);
}

void JobDialog::ChooseAllReady()
{
  const int rows = ListView_GetItemCount(list_);
  for (int row = 0; row < rows; ++row)
    if (const Job* job = JobOf(row); job != nullptr && job->Takeable())
      ListView_SetItemState(list_, row, LVIS_SELECTED, LVIS_SELECTED);
}

void JobDialog::Transfer()
{
  std::vector<Job> chosen;
  for (int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list_, row, LVNI_SELECTED))
    if (const Job* job = JobOf(row); job != nullptr && job->Takeable()) chosen.push_back(*job);
  if (!chosen.empty()) session_.Chosen(chosen);
}

void JobDialog::Refresh(bool fresh)
{
  // Signals that came meanwhile are answered by this one listing.
  MSG pending;
  if (fresh)
    while (PeekMessageW(&pending, window_, kSignalled, kSignalled, PM_REMOVE)) {
    }
  const HWND window = window_;
  const HWND focus = GetFocus();
  freshWanted_ = freshWanted_ || fresh;
  if (!session_.Relist(freshWanted_)) {
    SetTimer(window_, kRetryTimer, kRetryMs, nullptr);
    return;
  }
  // The application may have closed the source meanwhile, this window
  // with it.
  if (!IsWindow(window)) return;
  freshWanted_ = false;
  KillTimer(window_, kRetryTimer);
  // The source kept the user's hands off the window while it listed.
  if (focus != nullptr && IsChild(window_, focus) && IsWindowVisible(focus)) SetFocus(focus);
}

void JobDialog::GoOn()
{
  PostMessageW(window_, kListMore, 0, 0);
}

void JobDialog::Pictures()
{
  if (thumbnails_ == nullptr) return;
  for (Thumbnail& thumbnail : thumbnails_->Take()) {
    int image = 0;
    if (!thumbnail.pixels.empty() && images_ != nullptr) {
      const HBITMAP bitmap = TileBitmap(thumbnail.pixels);
      const int added = bitmap != nullptr ? ImageList_Add(images_, bitmap, nullptr) : -1;
      if (bitmap != nullptr) DeleteObject(bitmap);
      image = added > 0 ? added : 0;
    }
    imageOf_[thumbnail.key] = image;
    if (image == 0) continue;
    const int rows = ListView_GetItemCount(list_);
    for (int row = 0; row < rows; ++row) {
      const Job* job = JobOf(row);
      if (job == nullptr || KeyOf(*job) != thumbnail.key) continue;
      LVITEMW item = {};
      item.mask = LVIF_IMAGE;
      item.iItem = row;
      item.iImage = image;
      ListView_SetItem(list_, &item);
    }
  }
}

bool JobDialog::Message(MSG* message)
{
  if (window_ == nullptr) return false;
  const bool ours = message->hwnd == window_ || IsChild(window_, message->hwnd);
  // Ctrl+A anywhere in the window chooses every job that can be taken.
  if (ours && message->message == WM_KEYDOWN && message->wParam == 'A' &&
      GetKeyState(VK_CONTROL) < 0) {
    if (IsWindowEnabled(window_)) ChooseAllReady();
    return true;
  }
  return IsDialogMessageW(window_, message) != FALSE;
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
      UpdateChosen();
      return TRUE;
    case LVN_KEYDOWN: {
      // The list's own keys, when its messages come past the source.
      auto* key = reinterpret_cast<NMLVKEYDOWN*>(header);
      if (key->wVKey == 'A' && GetKeyState(VK_CONTROL) < 0) ChooseAllReady();
      return TRUE;
    }
    case NM_DBLCLK:
    case NM_RETURN:
      Transfer();
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
    dialog->Initialise();
    return TRUE;
  }
  auto* dialog = reinterpret_cast<JobDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          dialog->Transfer();
          return TRUE;
        case IDCANCEL:
          dialog->session_.Cancelled();
          return TRUE;
        case IDC_JOBS_REFRESH:
          dialog->Refresh();
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      dialog->session_.Cancelled();
      return TRUE;
    case WM_NOTIFY:
      return dialog->Notified(reinterpret_cast<NMHDR*>(lParam));
    case WM_TIMER:
      // A poll lets a listing under way end first.
      if (wParam == kRetryTimer || (wParam == kPollTimer && !dialog->session_.Listing()))
        dialog->Refresh(wParam == kPollTimer);
      return TRUE;
    case kListMore:
      dialog->Refresh(false);
      return TRUE;
    case kSignalled:
      dialog->Refresh();
      return TRUE;
    case kPictures:
      dialog->Pictures();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace twainds
