// The source's own window (ShowUI TRUE): the jobs it lists with their
// pictures, the one chosen brought over with a progress indicator, Cancel
// asking to close; the list following the scanner (a job that arrives, one
// deleted at the panel), an empty store, and the window's words.
#include <windows.h>
#include <commctrl.h>
#include <wincodec.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "twain_client.h"

namespace {

// The window's parts (the source's job_dialog_ids.h).
constexpr int kJobs = kJobList, kEmpty = 103, kChosen = 104, kDeleteLine = 105, kRefresh = 106;
constexpr int kTile = 96;
// The window's title in the e2e scenario, by language.
constexpr wchar_t kTitle[] = L"Lab MFP: stored jobs of anna";
constexpr wchar_t kGermanTitle[] = L"Lab MFP: gespeicherte Auftr\u00e4ge von anna";
// The thumbnails' folder (the scenario's "FilingPath").
constexpr wchar_t kFiling[] = L"C:\\Spool\\Lab\\";

// A top-level window of this thread whose title begins with `title`.
struct TitleSearch {
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK Titled(HWND window, LPARAM data)
{
  auto* search = reinterpret_cast<TitleSearch*>(data);
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  if (std::wcsncmp(text, search->title, std::wcslen(search->title)) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

HWND WindowTitled(const wchar_t* title)
{
  TitleSearch search = {title, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), Titled, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TextOf(HWND window)
{
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

std::string Shown(const std::wstring& text)
{
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return "\"" + out + "\"";
}

int RowOf(HWND list, const wchar_t* name)
{
  const int rows = ListView_GetItemCount(list);
  for (int row = 0; row < rows; ++row) {
    wchar_t text[128] = {};
    ListView_GetItemText(list, row, 0, text, 128);
    if (std::wcscmp(text, name) == 0) return row;
  }
  return -1;
}

int ImageOf(HWND list, int row)
{
  LVITEMW item = {};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  return ListView_GetItem(list, &item) ? item.iImage : -1;
}

bool Chosen(HWND list, int row)
{
  return row >= 0 && (ListView_GetItemState(list, row, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

// Pumps the application's loop until `done` or `ms` have passed: how long
// it took, or -1.
long Until(TwainApp& twain, DWORD ms, const std::function<bool()>& done)
{
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return static_cast<long>(GetTickCount() - start);
    if (GetTickCount() - start > ms) return -1;
    twain.Await(50);
  }
}

// A key pressed in the list, as the user would (with Ctrl held when
// `control`), through the application's loop: the source's message to the
// application that came meanwhile, if any.
TW_UINT16 Key(TwainApp& twain, HWND list, WPARAM key, bool control)
{
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  const BYTE was = keys[VK_CONTROL];
  keys[VK_CONTROL] = control ? 0x80 : 0;
  SetKeyboardState(keys);
  PostMessageW(list, WM_KEYDOWN, key, 1);
  const TW_UINT16 message = twain.Await(300);
  keys[VK_CONTROL] = was;
  SetKeyboardState(keys);
  return message;
}

// A picture: top-down rows of B, G, R, X.
struct Picture {
  long width = 0, height = 0;
  std::vector<unsigned char> pixels;
};

// The file's picture, decoded by WIC by its content.
bool Decoded(const std::wstring& path, Picture& picture)
{
  IWICImagingFactory* factory = nullptr;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))))
    return false;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICBitmapSource* converted = nullptr;
  bool ok = SUCCEEDED(factory->CreateDecoderFromFilename(
                path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder)) &&
            SUCCEEDED(decoder->GetFrame(0, &frame)) &&
            SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGR, frame, &converted));
  UINT width = 0, height = 0;
  ok = ok && SUCCEEDED(converted->GetSize(&width, &height)) && width > 0 && height > 0;
  if (ok) {
    picture.width = width;
    picture.height = height;
    picture.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
    ok = SUCCEEDED(converted->CopyPixels(
        nullptr, width * 4, static_cast<UINT>(picture.pixels.size()), picture.pixels.data()));
  }
  for (IUnknown* object : {static_cast<IUnknown*>(converted), static_cast<IUnknown*>(frame),
                           static_cast<IUnknown*>(decoder), static_cast<IUnknown*>(factory)})
    if (object != nullptr) object->Release();
  return ok;
}

// The picture scaled to `width` by `height`, each target pixel the mean of
// the source over its area (in floating point).
Picture Scaled(const Picture& from, long width, long height)
{
  Picture to{width, height, std::vector<unsigned char>(static_cast<size_t>(width) * height * 4)};
  const double sx = static_cast<double>(from.width) / width,
               sy = static_cast<double>(from.height) / height;
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x) {
      double sum[3] = {}, area = 0;
      const double x0 = x * sx, x1 = (x + 1) * sx, y0 = y * sy, y1 = (y + 1) * sy;
      for (long j = static_cast<long>(y0); j < from.height && j < y1; ++j)
        for (long i = static_cast<long>(x0); i < from.width && i < x1; ++i) {
          const double w = (std::min(x1, i + 1.0) - std::max(x0, static_cast<double>(i))) *
                           (std::min(y1, j + 1.0) - std::max(y0, static_cast<double>(j)));
          const unsigned char* p = &from.pixels[static_cast<size_t>(j * from.width + i) * 4];
          for (int c = 0; c < 3; ++c) sum[c] += w * p[c];
          area += w;
        }
      for (int c = 0; c < 3; ++c)
        to.pixels[static_cast<size_t>(y * width + x) * 4 + c] =
            static_cast<unsigned char>(std::lround(sum[c] / area));
    }
  return to;
}

// The tile of image `index` in the list's image list, as it holds it.
bool Tile(HWND list, int index, Picture& tile)
{
  HIMAGELIST images = ListView_GetImageList(list, LVSIL_SMALL);
  IMAGEINFO info = {};
  if (images == nullptr || !ImageList_GetImageInfo(images, index, &info)) return false;
  BITMAP bitmap = {};
  if (GetObjectW(info.hbmImage, sizeof bitmap, &bitmap) == 0) return false;
  BITMAPINFO header = {};
  header.bmiHeader.biSize = sizeof header.bmiHeader;
  header.bmiHeader.biWidth = bitmap.bmWidth;
  header.bmiHeader.biHeight = -bitmap.bmHeight;
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = 32;
  header.bmiHeader.biCompression = BI_RGB;
  std::vector<unsigned char> all(static_cast<size_t>(bitmap.bmWidth) * bitmap.bmHeight * 4);
  HDC screen = GetDC(nullptr);
  const int rows = GetDIBits(screen, info.hbmImage, 0, static_cast<UINT>(bitmap.bmHeight),
                             all.data(), &header, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  const long width = info.rcImage.right - info.rcImage.left,
             height = info.rcImage.bottom - info.rcImage.top;
  if (rows != bitmap.bmHeight || width != kTile || height != kTile) return false;
  tile = {width, height, std::vector<unsigned char>(static_cast<size_t>(width) * height * 4)};
  for (long y = 0; y < height; ++y)
    std::memcpy(
        &tile.pixels[static_cast<size_t>(y * width) * 4],
        &all[(static_cast<size_t>(info.rcImage.top + y) * bitmap.bmWidth + info.rcImage.left) * 4],
        static_cast<size_t>(width) * 4);
  return true;
}

// The job's thumbnail file: its item name with the last "." made "_".
std::wstring ThumbnailPath(const std::wstring& name)
{
  std::wstring path = kFiling + name;
  const size_t dot = path.find_last_of(L'.');
  if (dot != std::wstring::npos && dot >= std::wcslen(kFiling)) path[dot] = L'_';
  return path + L".tmb";
}

// Whether the row's tile shows the job's thumbnail file scaled to fit the
// tile with its aspect kept, centred: empty when it does, else what differs.
std::string TileAgrees(HWND list, int row, const std::wstring& name)
{
  Picture file, tile;
  if (!Decoded(ThumbnailPath(name), file)) return "thumbnail file not decoded";
  if (!Tile(list, ImageOf(list, row), tile)) return "tile not read";
  const bool wide = file.width >= file.height;
  const long width =
      wide ? kTile : std::max(1L, std::lround(file.width * double(kTile) / file.height));
  const long height =
      wide ? std::max(1L, std::lround(file.height * double(kTile) / file.width)) : kTile;
  const Picture expected = Scaled(file, width, height);
  const long left = (kTile - width) / 2, top = (kTile - height) / 2;
  int worst = 0, wrong = 0;
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        const int d =
            std::abs(int(expected.pixels[static_cast<size_t>(y * width + x) * 4 + c]) -
                     int(tile.pixels[static_cast<size_t>((top + y) * kTile + left + x) * 4 + c]));
        worst = std::max(worst, d);
        wrong += d > 2 ? 1 : 0;
      }
  if (wrong == 0) return {};
  return std::to_string(wrong) + " values off by more than 2 (worst " + std::to_string(worst) +
         ") in " + std::to_string(width) + "x" + std::to_string(height) + " of " +
         std::to_string(file.width) + "x" + std::to_string(file.height);
}

// Every ready job of `names` shows its own thumbnail within 5 s.
void Thumbnails(TwainApp& twain, HWND list, const std::vector<const wchar_t*>& names,
                const std::string& row)
{
  const long took = Until(twain, 5000, [&] {
    for (const wchar_t* name : names)
      if (ImageOf(list, RowOf(list, name)) <= 0) return false;
    return true;
  });
  std::string wrong;
  for (const wchar_t* name : names) {
    const int at = RowOf(list, name);
    const std::string differs = at < 0                   ? "not listed"
                                : ImageOf(list, at) <= 0 ? "placeholder"
                                                         : TileAgrees(list, at, name);
    if (!differs.empty()) wrong += Narrow(name) + ": " + differs + "; ";
  }
  Check(took >= 0 && wrong.empty(), row, wrong);
  if (took >= 0)
    std::printf("note %s: every thumbnail shown %ld ms after the window\n", row.c_str(), took);
}

// Every column as wide as its title needs in the list's font.
void ColumnsFit(HWND list, const std::string& row)
{
  HWND header = ListView_GetHeader(list);
  const int columns = header != nullptr ? Header_GetItemCount(header) : 0;
  std::string cut;
  for (int i = 0; i < columns; ++i) {
    wchar_t title[64] = {};
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT;
    column.pszText = title;
    column.cchTextMax = 64;
    ListView_GetColumn(list, i, &column);
    const int needs = ListView_GetStringWidth(list, title) + 12;
    if (ListView_GetColumnWidth(list, i) < needs) cut += Narrow(title) + " ";
  }
  Check(columns == 6 && cut.empty(), row, std::to_string(columns) + " columns; cut: " + cut);
}

}  // namespace

// The source's own window (ShowUI TRUE), with its progress indicator.
void Window(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  TW_UINT16 rc = Enable(twain, true);
  HWND dialog = JobWindow();
  HWND list = dialog != nullptr ? GetDlgItem(dialog, kJobs) : nullptr;
  Check(dialog != nullptr && TextOf(dialog) == kTitle, "twain-window-title-names-scanner-and-user",
        dialog != nullptr ? Shown(TextOf(dialog)) : "no window");
  const int rows = list != nullptr ? ListView_GetItemCount(list) : -1;
  int busy = -1, grey = -1;
  for (int row = 0; row < rows; ++row) {
    wchar_t text[64] = {};
    ListView_GetItemText(list, row, 0, text, 64);
    if (std::wcscmp(text, L"busy.tif") == 0) busy = row;
    if (std::wcscmp(text, L"grey.bmp") == 0) grey = row;
  }
  // multi.tif is gone (deleted after scan); foreign.tif is not the user's.
  Check(rc == TWRC_SUCCESS && rows == 5 && busy >= 0 && grey >= 0, "twain-window-lists-jobs",
        "rc " + std::to_string(rc) + ", " + std::to_string(rows) + " rows");
  if (busy < 0 || grey < 0) return;
  // The first job that can be taken is chosen on opening; the line under
  // the list counts what is chosen.
  Check(ListView_GetSelectedCount(list) == 1 && Chosen(list, grey) && grey == 0 &&
            TextOf(GetDlgItem(dialog, kChosen)) == L"Jobs chosen: 1 of 4, pages: 1",
        "twain-window-first-ready-job-chosen",
        std::to_string(ListView_GetSelectedCount(list)) + " chosen; " +
            Shown(TextOf(GetDlgItem(dialog, kChosen))));
  ColumnsFit(list, "twain-window-column-titles-fit");
  Thumbnails(twain, list, {L"grey.bmp", L"mine.tif", L"users.tif", L"logo.gif"},
             "twain-window-thumbnails-are-the-preview-files-scaled");
  Check(ImageOf(list, busy) == 0, "twain-window-job-being-scanned-has-placeholder",
        "image " + std::to_string(ImageOf(list, busy)));
  // Ctrl+A: every job that can be taken, and no other.
  Key(twain, list, 'A', true);
  Check(ListView_GetSelectedCount(list) == 4 && !Chosen(list, busy) &&
            TextOf(GetDlgItem(dialog, kChosen)) == L"Jobs chosen: 4 of 4, pages: 4",
        "twain-window-ctrl-a-chooses-every-ready-job",
        std::to_string(ListView_GetSelectedCount(list)) + " chosen; " +
            Shown(TextOf(GetDlgItem(dialog, kChosen))));
  // The delete-after-scan line follows the user's option, read again on
  // Refresh; the choice stays.
  std::wstring lines[3];
  lines[0] = TextOf(GetDlgItem(dialog, kDeleteLine));
  for (DWORD on : {1u, 0u}) {
    SetDeleteOption(on);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kRefresh, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, kRefresh)));
    lines[2 - on] = TextOf(GetDlgItem(dialog, kDeleteLine));
  }
  Check(lines[0] == L"After the transfer the jobs stay on the scanner." && lines[2] == lines[0] &&
            lines[1] ==
                L"After the transfer the jobs are deleted from the scanner (your option on "
                L"the scanner)." &&
            ListView_GetSelectedCount(list) == 4 && IsWindowEnabled(dialog),
        "twain-window-delete-line-follows-option",
        Shown(lines[0]) + " / " + Shown(lines[1]) + " / " + Shown(lines[2]) + ", " +
            std::to_string(ListView_GetSelectedCount(list)) + " chosen");
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  ListView_SetItemState(list, busy, LVIS_SELECTED, LVIS_SELECTED);
  Check(ListView_GetSelectedCount(list) == 0, "twain-window-job-being-scanned-not-chosen");
  ListView_SetItemState(list, grey, LVIS_SELECTED, LVIS_SELECTED);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  const TW_UINT16 message = twain.Await(10000);
  const bool waiting = !IsWindowEnabled(dialog);
  const bool indicated = WindowTitled(L"stibridge: transferring") != nullptr;
  Check(message == MSG_XFERREADY && waiting && indicated, "twain-window-transfer",
        "message " + std::to_string(message) + (waiting ? "" : ", window not waiting") +
            (indicated ? "" : ", no progress indicator"));
  if (message != MSG_XFERREADY) return;
  const std::string fingerprint = TransferPage(twain, TWSX_NATIVE, rc);
  std::printf("pixels grey.bmp 1 native %s\n", fingerprint.empty() ? "none" : fingerprint.c_str());
  const TW_UINT16 left = EndTransfer(twain);
  Check(left == 0 && IsWindowEnabled(dialog) && WindowTitled(L"stibridge: transferring") == nullptr,
        "twain-window-back-after-transfers", std::to_string(left) + " left");
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  const TW_UINT16 close = twain.Await(10000);
  rc = Disable(twain);
  Check(close == MSG_CLOSEDSREQ && rc == TWRC_SUCCESS && !IsWindow(dialog),
        "twain-window-cancel-asks-to-close", "message " + std::to_string(close));
}

// The window against the scenario of the window's own (twain_parts.py):
// first.tif's thumbnail as written, missing.tif's and corrupt.tif's missing
// and broken, gone.tif deleted at the panel and late.tif scanned while the
// window is open. A job without its picture has the placeholder and can be
// chosen; the list follows the scanner with the choice kept; Enter
// transfers the jobs chosen.
void WindowFollows(TwainApp& twain)
{
  SetDeleteOption(0);
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  const DWORD opened = GetTickCount();
  const TW_UINT16 rc = Enable(twain, true);
  HWND dialog = JobWindow();
  HWND list = dialog != nullptr ? GetDlgItem(dialog, kJobs) : nullptr;
  std::printf("note twain-window-follow: window open %lu ms after MSG_ENABLEDS began\n",
              GetTickCount() - opened);
  const int rows = list != nullptr ? ListView_GetItemCount(list) : -1;
  Check(rc == TWRC_SUCCESS && rows == 4 && RowOf(list, L"late.tif") < 0,
        "twain-window-follow-lists-jobs",
        "rc " + std::to_string(rc) + ", " + std::to_string(rows) + " rows");
  if (list == nullptr) return;
  Thumbnails(twain, list, {L"first.tif"}, "twain-window-follow-thumbnail");
  // The pictures that could be had are shown: those that could not stay
  // placeholders (give them a moment more all the same).
  twain.Await(500);
  const int missing = RowOf(list, L"missing.tif"), corrupt = RowOf(list, L"corrupt.tif");
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  ListView_SetItemState(list, missing, LVIS_SELECTED, LVIS_SELECTED);
  ListView_SetItemState(list, corrupt, LVIS_SELECTED, LVIS_SELECTED);
  Check(missing >= 0 && corrupt >= 0 && ImageOf(list, missing) == 0 &&
            ImageOf(list, corrupt) == 0 && Chosen(list, missing) && Chosen(list, corrupt),
        "twain-window-no-preview-placeholder-choosable",
        "images " + std::to_string(ImageOf(list, missing)) + ", " +
            std::to_string(ImageOf(list, corrupt)));
  // The user's choice: first.tif and missing.tif.
  ListView_SetItemState(list, corrupt, 0, LVIS_SELECTED);
  ListView_SetItemState(list, RowOf(list, L"first.tif"), LVIS_SELECTED, LVIS_SELECTED);
  const long took = Until(twain, 8000, [&] {
    const int late = RowOf(list, L"late.tif");
    return late >= 0 && RowOf(list, L"gone.tif") < 0;
  });
  const int late = RowOf(list, L"late.tif");
  ListView_SetItemState(list, late, LVIS_SELECTED, LVIS_SELECTED);
  const bool lateChoosable = Chosen(list, late);
  ListView_SetItemState(list, late, 0, LVIS_SELECTED);
  Check(took >= 0 && lateChoosable && ListView_GetSelectedCount(list) == 2 &&
            Chosen(list, RowOf(list, L"first.tif")) && Chosen(list, RowOf(list, L"missing.tif")),
        "twain-window-follows-scanner-choice-kept",
        (took < 0 ? std::string("late.tif not shown or gone.tif not gone") : "") +
            (lateChoosable ? "" : ", late.tif not choosable") + ", " +
            std::to_string(ListView_GetSelectedCount(list)) + " chosen");
  std::printf("note twain-window-follow: arrival and deletion shown %ld ms after the window\n",
              took);
  Check(TextOf(GetDlgItem(dialog, kChosen)) == L"Jobs chosen: 2 of 4, pages: 3",
        "twain-window-follow-chosen-line", Shown(TextOf(GetDlgItem(dialog, kChosen))));
  // Enter transfers the two jobs chosen: their three pages.
  const TW_UINT16 pressed = Key(twain, list, VK_RETURN, false);
  const TW_UINT16 message = pressed != MSG_NULL ? pressed : twain.Await(10000);
  TW_PENDINGXFERS pending = {};
  if (message == MSG_XFERREADY) twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending);
  Check(message == MSG_XFERREADY && pending.Count == 3, "twain-window-enter-transfers-chosen",
        "message " + std::to_string(message) + ", " + std::to_string(pending.Count) + " pending");
  if (message == MSG_XFERREADY) EndTransfer(twain, MSG_RESET);
  Disable(twain);
}

// An empty store: the window says so and what to do; then in German
// (CAP_LANGUAGE), its title too.
void WindowEmpty(TwainApp& twain)
{
  TW_UINT16 rc = Enable(twain, true);
  HWND dialog = JobWindow();
  HWND empty = dialog != nullptr ? GetDlgItem(dialog, kEmpty) : nullptr;
  const std::wstring said = TextOf(empty);
  Check(rc == TWRC_SUCCESS && empty != nullptr && IsWindowVisible(empty) &&
            !IsWindowVisible(GetDlgItem(dialog, kJobs)) &&
            said ==
                L"No stored jobs for anna on Lab MFP yet. Scan at the scanner with your PIN; "
                L"jobs appear here as they end.",
        "twain-window-empty-store-says-what-to-do",
        "rc " + std::to_string(rc) + ", " + Shown(said));
  Check(dialog != nullptr && !IsWindowEnabled(GetDlgItem(dialog, IDOK)),
        "twain-window-empty-nothing-to-transfer");
  Disable(twain);
  rc = SetOne(twain, CAP_LANGUAGE, TWTY_UINT16, TWLG_GERMAN);
  const TW_UINT16 enabled = Enable(twain, true);
  dialog = JobWindow();
  Check(rc == TWRC_SUCCESS && enabled == TWRC_SUCCESS && dialog != nullptr &&
            TextOf(dialog) == kGermanTitle &&
            TextOf(GetDlgItem(dialog, kEmpty)).rfind(L"Noch keine gespeicherten Auftr", 0) == 0,
        "twain-window-german-title", dialog != nullptr ? Shown(TextOf(dialog)) : "no window");
  Disable(twain);
  SetOne(twain, CAP_LANGUAGE, TWTY_UINT16, TWLG_ENGLISH_USA);
}

// The window's title in the language of the prefix's user, the
// application asking for none (twain_parts.py runs it under a Japanese
// locale): a line "title <its UTF-16 units in hex>", which the runner
// compares with that language's table.
void WindowTitle(TwainApp& twain)
{
  const TW_UINT16 rc = Enable(twain, true);
  HWND dialog = JobWindow();
  const std::wstring title = dialog != nullptr ? TextOf(dialog) : L"";
  std::string hex;
  char unit[8];
  for (wchar_t c : title) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    hex += unit;
  }
  std::printf("title %s\n", hex.c_str());
  Check(rc == TWRC_SUCCESS && !title.empty(), "twain-window-title-shown", "rc " + std::to_string(rc));
  Disable(twain);
}

// The column titles at the screen's resolution of this run (twain_parts.py
// runs it at 144 dpi): the row names the resolution.
void WindowColumns(TwainApp& twain)
{
  const TW_UINT16 rc = Enable(twain, true);
  HWND dialog = JobWindow();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  Check(rc == TWRC_SUCCESS && dialog != nullptr,
        "twain-window-opens-at-" + std::to_string(dpi) + "-dpi");
  if (dialog != nullptr)
    ColumnsFit(GetDlgItem(dialog, kJobs),
               "twain-window-column-titles-fit-at-" + std::to_string(dpi) + "-dpi");
  Disable(twain);
}
