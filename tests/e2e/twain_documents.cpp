// The stored jobs as documents: the application's units in every length and
// resolution of a page at hand, the jobs as the pages of a feeder with job
// separation and extended image information, the files the source writes
// itself (JPEG, multi-page TIFF), and a large page's file transfer held to
// the application's memory.
#include <windows.h>
#include <psapi.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "twain_client.h"

namespace {

// The jobs of the session scenario the user may take, with their pages.
const std::vector<std::pair<std::string, int>> kPages = {
    {"multi.tif", 2}, {"grey.bmp", 1}, {"mine.tif", 1}, {"users.tif", 1}, {"logo.gif", 1}};

double Current(TwainApp& twain, TW_UINT16 cap)
{
  TW_CAPABILITY capability = {cap, TWON_DONTCARE16, nullptr};
  if (twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) != TWRC_SUCCESS)
    return -1;
  const auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(capability.hContainer));
  TW_FIX32 fix;
  std::memcpy(&fix, &one->Item, sizeof fix);
  const double value = one->ItemType == TWTY_FIX32 ? Number(fix) : (one->Item & 0xFFFF);
  GlobalUnlock(capability.hContainer);
  GlobalFree(capability.hContainer);
  return value;
}

bool Near(double a, double b)
{
  return std::fabs(a - b) <= 1e-3 * std::max(std::fabs(a), std::fabs(b)) + 1e-4;
}

TW_UINT16 ResetJobs(TwainApp& twain)
{
  TW_CAPABILITY capability = {STIBRIDGE_CAP_JOBS, TWON_DONTCARE16, nullptr};
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  return rc;
}

// DAT_EXTIMAGEINFO of the page just transferred, eight items: what the
// source gives and one it does not.
struct Extended {
  TW_UINT32 numInfos;
  TW_INFO2 info[8];
};

}  // namespace

// ICAP_UNITS in inches, centimetres and twips: the resolution in effect,
// the page's in DAT_IMAGEINFO and its frame in DAT_IMAGELAYOUT all in the
// same units (the first page of multi.tif: 120 x 90 pixels at 300 dpi).
void UnitsAgree(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  NameJobs(twain, {L"multi.tif"});
  const double scanner = Current(twain, ICAP_XRESOLUTION);
  struct Unit {
    TW_UINT16 unit;
    double perInch;
    const char* name;
  };
  for (const Unit& unit : {Unit{TWUN_INCHES, 1, "inches"}, Unit{TWUN_CENTIMETERS, 2.54, "centimetres"},
                           Unit{TWUN_TWIPS, 1440, "twips"}}) {
    SetOne(twain, ICAP_UNITS, TWTY_UINT16, unit.unit);
    const double resolution = Current(twain, ICAP_XRESOLUTION);
    Enable(twain, false);
    const TW_UINT16 message = twain.Await(10000);
    TW_IMAGEINFO info = {};
    TW_IMAGELAYOUT layout = {};
    const TW_UINT16 described = twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
    EndTransfer(twain, MSG_RESET);
    Disable(twain);
    const double x = Number(info.XResolution), y = Number(info.YResolution);
    const double width = Number(layout.Frame.Right) - Number(layout.Frame.Left);
    const double length = Number(layout.Frame.Bottom) - Number(layout.Frame.Top);
    Check(message == MSG_XFERREADY && described == TWRC_SUCCESS && Near(x * unit.perInch, 300) &&
              Near(y * unit.perInch, 300) && Near(width, info.ImageWidth / x) &&
              Near(length, info.ImageLength / y) && Near(resolution * unit.perInch, scanner),
          std::string("twain-units-") + unit.name + "-agree",
          "resolution " + std::to_string(resolution) + ", page " + std::to_string(x) + " x " +
              std::to_string(y) + ", frame " + std::to_string(width) + " x " +
              std::to_string(length) + " for " + std::to_string(info.ImageWidth) + " x " +
              std::to_string(info.ImageLength) + " pixels");
  }
  SetOne(twain, ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
  ResetJobs(twain);
}

// The stored jobs as the pages of a feeder, under job control: with
// CAP_XFERCOUNT 1, 2 and -1 as many pages come, each one's extended image
// information says which job and page it is, and the end of each job is a
// separator in TW_PENDINGXFERS.EOJ.
void Feeder(TwainApp& twain)
{
  std::string detail;
  TW_UINT16 rc = SetOne(twain, CAP_FEEDERENABLED, TWTY_BOOL, TRUE);
  Check(rc == TWRC_SUCCESS && Current(twain, CAP_FEEDERLOADED) == 1 &&
            Current(twain, CAP_AUTOFEED) == 1,
        "twain-feeder-enabled-and-loaded", "rc " + std::to_string(rc));
  SetOne(twain, CAP_JOBCONTROL, TWTY_UINT16, TWJC_JSIC);
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  for (const int count : {1, 2, -1}) {
    SetOne(twain, CAP_XFERCOUNT, TWTY_INT16, static_cast<TW_UINT16>(count));
    Enable(twain, false);
    const TW_UINT16 message = twain.Await(10000);
    const size_t wanted = count < 0 ? 6 : static_cast<size_t>(count);
    std::string wrong;
    size_t pages = 0;
    for (TW_UINT16 left = message == MSG_XFERREADY ? 1 : 0; left > 0 && pages < 20; ++pages) {
      TW_IMAGELAYOUT layout = {};
      twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
      TW_UINT16 transferred = 0;
      TransferPage(twain, TWSX_NATIVE, transferred);
      Extended extended = {8, {}};
      const TW_UINT16 ids[8] = {TWEI_DOCUMENTNUMBER, TWEI_PAGENUMBER, TWEI_PAGESIDE,
                                TWEI_FRAMENUMBER,    TWEI_FRAME,      TWEI_PIXELFLAVOR,
                                STIBRIDGE_TWEI_ITEMNAME, TWEI_BARCODETEXT};
      for (int i = 0; i < 8; ++i) extended.info[i].InfoID = ids[i];
      const TW_UINT16 asked = twain.Source(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, &extended);
      const TW_INFO2* info = extended.info;
      const size_t job = layout.DocumentNumber;
      const bool known = job >= 1 && job <= kPages.size();
      std::string name;
      TW_FRAME frame = {};
      if (info[6].ReturnCode == TWRC_SUCCESS && info[6].ItemType == TWTY_STR255) {
        auto* handle = reinterpret_cast<HGLOBAL>(info[6].Item);
        name = static_cast<const char*>(GlobalLock(handle));
        GlobalUnlock(handle);
        GlobalFree(handle);
      }
      if (info[4].ReturnCode == TWRC_SUCCESS && info[4].ItemType == TWTY_FRAME) {
        auto* handle = reinterpret_cast<HGLOBAL>(info[4].Item);
        std::memcpy(&frame, GlobalLock(handle), sizeof frame);
        GlobalUnlock(handle);
        GlobalFree(handle);
      }
      const bool described =
          transferred == TWRC_XFERDONE && asked == TWRC_SUCCESS && known &&
          info[0].ReturnCode == TWRC_SUCCESS && info[0].Item == job &&
          info[1].ReturnCode == TWRC_SUCCESS && info[1].Item == layout.PageNumber &&
          info[2].Item == TWCS_TOP && info[3].Item == 1 && info[5].Item == TWPF_CHOCOLATE &&
          std::memcmp(&frame, &layout.Frame, sizeof frame) == 0 && name == kPages[job - 1].first &&
          info[7].ReturnCode == TWRC_INFONOTSUPPORTED;
      TW_PENDINGXFERS pending = {};
      twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
      const bool jobEnded = known && static_cast<int>(layout.PageNumber) == kPages[job - 1].second;
      const bool separated = pending.u.EOJ == (jobEnded ? TWEJ_MIDSEPARATOR : TWEJ_NONE);
      if (!described || !separated)
        wrong += "page " + std::to_string(pages + 1) + " (job " + std::to_string(job) + " p" +
                 std::to_string(layout.PageNumber) + ", " + name + ", EOJ " +
                 std::to_string(pending.u.EOJ) + "); ";
      left = pending.Count;
    }
    Disable(twain);
    Check(message == MSG_XFERREADY && pages == wanted && wrong.empty(),
          "twain-feeder-xfercount-" + std::to_string(count),
          std::to_string(pages) + " pages; " + wrong);
  }
  SetOne(twain, CAP_XFERCOUNT, TWTY_INT16, 0xFFFF);
  SetOne(twain, CAP_JOBCONTROL, TWTY_UINT16, TWJC_NONE);
  // No flatbed to turn to: the feeder stays in use.
  rc = SetOne(twain, CAP_FEEDERENABLED, TWTY_BOOL, FALSE);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-feeder-cannot-be-turned-off");
}

// The files the source writes itself: a JPEG of a whole page (the scanner
// writes none), and both pages of a job in one multi-page TIFF, added a
// transfer at a time. DAT_SETUPFILEXFER and ICAP_IMAGEFILEFORMAT are one
// setting: an application that reads the one and sets it back with another
// name keeps the format.
void FileFormats(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  SetOne(twain, ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWFF_JFIF);
  TW_SETUPFILEXFER setup = {};
  twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup);
  Check(setup.Format == TWFF_JFIF, "twain-setupfile-follows-imagefileformat",
        "format " + std::to_string(setup.Format));
  NameJobs(twain, {L"grey.bmp"});
  Enable(twain, false);
  twain.Await(10000);
  const std::string whole = ScratchFile("whole.jpg");
  DeleteFileA(whole.c_str());
  std::strncpy(setup.FileName, whole.c_str(), sizeof setup.FileName - 1);
  twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  const Size jpeg = JpegSizeOf(FileOf(whole));
  DeleteFileA(whole.c_str());
  EndTransfer(twain);
  Disable(twain);
  Check(rc == TWRC_XFERDONE && jpeg == Size{121, 80}, "twain-file-jpeg-whole-page",
        "rc " + std::to_string(rc) + ", " + std::to_string(jpeg.width) + "x" +
            std::to_string(jpeg.length));

  rc = SetOne(twain, ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWFF_TIFFMULTI);
  NameJobs(twain, {L"multi.tif"});
  Enable(twain, false);
  twain.Await(10000);
  const std::string job = ScratchFile("job.tif");
  DeleteFileA(job.c_str());
  setup = {};
  std::strncpy(setup.FileName, job.c_str(), sizeof setup.FileName - 1);
  setup.Format = TWFF_TIFFMULTI;
  TW_UINT16 set = twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  const TW_UINT16 first = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  const size_t afterFirst = TiffPages(job).size();
  EndTransfer(twain);
  const TW_UINT16 second = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  EndTransfer(twain);
  Disable(twain);
  const std::vector<std::pair<std::string, Size>> pages = TiffPages(job);
  DeleteFileA(job.c_str());
  for (size_t i = 0; i < pages.size(); ++i)
    std::printf("pixels multi.tif %u file-tiffmulti %s\n", static_cast<unsigned>(i + 1),
                pages[i].first.empty() ? "none" : pages[i].first.c_str());
  std::fflush(stdout);
  Check(rc == TWRC_SUCCESS && set == TWRC_SUCCESS && first == TWRC_XFERDONE &&
            second == TWRC_XFERDONE && afterFirst == 1 && pages.size() == 2 &&
            pages[0].second == Size{120, 90} && pages[1].second == Size{120, 90},
        "twain-file-tiffmulti-job",
        "rc " + std::to_string(first) + "/" + std::to_string(second) + ", " +
            std::to_string(afterFirst) + " then " + std::to_string(pages.size()) + " pages");
  // A relative name is the file of the folder that was current when it was
  // set, wherever the application went since (a file dialog moves it).
  SetOne(twain, ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWFF_BMP);
  NameJobs(twain, {L"grey.bmp"});
  Enable(twain, false);
  twain.Await(10000);
  char folder[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, folder);
  const std::string scratch = ScratchFile("");
  const std::string relative = scratch + "relative.bmp";
  DeleteFileA(relative.c_str());
  SetCurrentDirectoryA(scratch.c_str());
  setup = {};
  std::strncpy(setup.FileName, "relative.bmp", sizeof setup.FileName - 1);
  setup.Format = TWFF_BMP;
  set = twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  SetCurrentDirectoryA(folder);
  rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  const bool there = GetFileAttributesA(relative.c_str()) != INVALID_FILE_ATTRIBUTES;
  DeleteFileA(relative.c_str());
  EndTransfer(twain);
  Disable(twain);
  Check(set == TWRC_SUCCESS && rc == TWRC_XFERDONE && there, "twain-file-relative-name-at-set",
        "rc " + std::to_string(rc) + (there ? "" : ", not in " + scratch));
  ResetJobs(twain);
}

// The one page of the big-page scenario (A3 colour at 600 dpi, some 200
// MB) by file transfer, whole (the scanner's BMP) and cut to a frame (the
// source's TIFF): the application's process grows by no more than a strip
// above the page's own size, and in fact by far less.
void BigPage(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  struct Way {
    const char* name;
    TW_UINT16 format;
    bool cut;
  };
  for (const Way& way : {Way{"whole", TWFF_BMP, false}, Way{"cut", TWFF_TIFF, true}}) {
    if (way.cut) SetLayout(twain, Inches(0.5, 0.5, 11, 16));
    Enable(twain, false);
    const TW_UINT16 message = twain.Await(60000);
    TW_IMAGEINFO info = {};
    twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    const std::string name = ScratchFile(way.cut ? "big.tif" : "big.bmp");
    TW_SETUPFILEXFER setup = {};
    std::strncpy(setup.FileName, name.c_str(), sizeof setup.FileName - 1);
    setup.Format = way.format;
    twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
    PROCESS_MEMORY_COUNTERS_EX before = {}, after = {};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&before),
                         sizeof before);
    const ULONGLONG started = GetTickCount64();
    const TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
    const double seconds = (GetTickCount64() - started) / 1000.0;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&after),
                         sizeof after);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data);
    const ULONGLONG written = static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    DeleteFileA(name.c_str());
    EndTransfer(twain);
    Disable(twain);
    const double page = static_cast<double>(info.ImageWidth) * 3 * info.ImageLength;
    const double strip = 1 << 20;
    const double grown =
        static_cast<double>(after.PeakWorkingSetSize) - static_cast<double>(before.PeakWorkingSetSize);
    const double committed =
        static_cast<double>(after.PeakPagefileUsage) - static_cast<double>(before.PeakPagefileUsage);
    std::printf("note twain big page %s: %ld x %ld, file %.1f MB in %.1f s; peak working set +%.1f "
                "MB, peak private +%.1f MB, for a page of %.1f MB\n",
                way.name, static_cast<long>(info.ImageWidth), static_cast<long>(info.ImageLength),
                written / 1048576.0, seconds, grown / 1048576.0, committed / 1048576.0,
                page / 1048576.0);
    std::fflush(stdout);
    Check(message == MSG_XFERREADY && rc == TWRC_XFERDONE && written > page / 2 &&
              grown <= page + strip && committed <= page + strip,
          std::string("twain-file-big-page-memory-") + way.name,
          "rc " + std::to_string(rc) + ", grew " + std::to_string(grown / 1048576.0) + " MB");
  }
  TW_IMAGELAYOUT layout = {};
  twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout);
}
