// Image information, the transfer preparation, the size query, the bitmap
// header, the string read and the byte count of a page.
#include <gtest/gtest.h>

#include <cstring>

#include "unit/bridge_session.h"

namespace {

using session::EscapesSent;
using session::Text;
using simtest::Fault;

class ImageTest : public session::BridgeSessionTest {
 protected:
  // Opens on `jobs` and selects the first item.
  void OpenOnJobs(const std::string& jobs)
  {
    OpenWithList(session::OneDevice(jobs));
    int first = 0;
    ASSERT_EQ(bridge->SetSelection(&first, 1), S_OK);
  }
  TW_IMAGEINFO Info(int refresh = 0, HRESULT expected = S_OK)
  {
    TW_IMAGEINFO info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(bridge->GetImageInfo(&info, refresh), expected);
    return info;
  }
  STI_TRANSFER_REQUEST Request(DWORD operation, WCHAR* name, DWORD page = 1, DWORD format = 0)
  {
    STI_TRANSFER_REQUEST request = {};
    request.operation = operation;
    request.page = page;
    request.formatCode = format;
    request.itemName = name;
    return request;
  }
  WCHAR itemName[16] = W("a.tif");
};

TEST_F(ImageTest, TheFirstPageIsDescribedFromTheStoredRecords)
{
  OpenOnJobs(R"({"itemName": "a.tif", "pages": 3, "width": 101, "height": 10, "resolution": 2,
                 "planar": 1, "compression": 5})");
  TW_IMAGEINFO info = Info(1);
  EXPECT_EQ(session::JournalText(), "") << "page 1: nothing is asked of the driver";
  EXPECT_EQ(info.ImageWidth, 101);
  EXPECT_EQ(info.ImageLength, 10);
  EXPECT_EQ(info.XResolution.Whole, 300);
  EXPECT_EQ(info.YResolution.Whole, 300);
  EXPECT_EQ(info.XResolution.Frac, 0);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.SamplesPerPixel, 3);
  EXPECT_EQ(info.BitsPerSample[0], 8);
  EXPECT_EQ(info.BitsPerSample[2], 8);
  EXPECT_EQ(info.BitsPerSample[3], 0) << "entries 3 to 7 are never written";
  EXPECT_EQ(info.PixelType, 2);
  EXPECT_EQ(info.Planar, 1);
  EXPECT_EQ(info.Compression, 0) << "whatever the driver's value";
  int page = 0, pages = 0;
  bridge->GetPagePosition(&page, &pages);
  EXPECT_EQ(pages, 3);
  int count = 0;
  EXPECT_EQ(bridge->GetImageByteCount(&count), S_OK);
  EXPECT_EQ(count, 3030) << "24 x 101 x 10 / 8, rows not padded";
}

TEST_F(ImageTest, ResolutionCodesHaveTheirOwnDefault)
{
  struct Case {
    int code;
    short dpi;
  };
  const Case cases[] = {{0, 100}, {1, 200}, {2, 300}, {3, 400}, {4, 600},
                        {5, 150}, {6, 72},  {9, 100}, {-3, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    OpenOnJobs(R"({"itemName": "a.tif", "resolution": )" + std::to_string(c.code) + "}");
    TW_IMAGEINFO info = Info();
    EXPECT_EQ(info.XResolution.Whole, c.dpi);
    EXPECT_EQ(info.YResolution.Whole, c.dpi);
  }
}

TEST_F(ImageTest, DepthGifRuleAndPixelDescriptions)
{
  struct Case {
    const char* job;
    short bitsPerPixel, samples, bits0, bits1, pixelType;
  };
  // A depth without a description leaves the description as it was: zero
  // on an object's first page.
  const Case cases[] = {
      {R"("depth": 8, "documentName": "company-logo.gif")", 24, 3, 8, 8, 2},
      {R"("depth": 8, "documentName": "LOGO.GIF")", 8, 1, 8, 0, 1},
      {R"("depth": 8, "documentName": "a.gifx")", 24, 3, 8, 8, 2},
      {R"("depth": 1, "deliveredDepth": 1)", 1, 1, 1, 0, 0},
      {R"("depth": 16, "deliveredDepth": 24)", 16, 0, 0, 0, 0},
      {R"("depth": 24, "documentName": null)", 24, 3, 8, 8, 2},
      {R"("depth": 16384, "deliveredDepth": 24, "documentName": "x.gif")", -16384, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job);
    OpenOnJobs(R"({"itemName": "a.tif", )" + std::string(c.job) + "}");
    TW_IMAGEINFO info = Info();
    EXPECT_EQ(info.BitsPerPixel, c.bitsPerPixel);
    EXPECT_EQ(info.SamplesPerPixel, c.samples);
    EXPECT_EQ(info.BitsPerSample[0], c.bits0);
    EXPECT_EQ(info.BitsPerSample[1], c.bits1);
    EXPECT_EQ(info.PixelType, c.pixelType);
  }
}

TEST_F(ImageTest, TheRecordAccumulatesOverItems)
{
  OpenOnJobs(R"({"itemName": "a.tif", "depth": 24, "planar": 1},
                {"itemName": "b.tif", "depth": 16, "deliveredDepth": 24, "planar": 2, "compression": null,
                 "omit": [4112]})");
  TW_IMAGEINFO first = Info();
  int second = 1;
  ASSERT_EQ(bridge->SetSelection(&second, 1), S_OK);
  TW_IMAGEINFO next = Info();
  EXPECT_EQ(next.BitsPerPixel, 16);
  EXPECT_EQ(next.SamplesPerPixel, 3) << "depth 16 leaves the description of the item before";
  EXPECT_EQ(next.PixelType, 2);
  EXPECT_EQ(next.Planar, 1) << "planar 2 leaves it";
  EXPECT_EQ(next.ImageWidth, first.ImageWidth) << "no width record";
}

TEST_F(ImageTest, LaterPagesAreDescribedByTheDriver)
{
  OpenOnJobs(R"({"itemName": "a.tif", "pages": 3, "width": 64})");
  Info();
  int left = 0;
  ASSERT_EQ(bridge->AdvancePage(0, &left, 0), S_OK);
  StiSimClearJournal();
  TW_IMAGEINFO info = Info(1);
  EXPECT_EQ(info.ImageWidth, 64);
  std::vector<StiSimJournalEntry> journal = simtest::Journal();
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal[1].code, 4103u);
  EXPECT_EQ(journal[1].outSize, 1584u);
  EXPECT_EQ(journal[1].sizeBefore, 0u);
  EXPECT_EQ(EscapesSent(4103), 1);
  Info(0);
  EXPECT_EQ(EscapesSent(4103), 1) << "refresh 0 asks nothing";

  // A failed exchange: the stored records are used, the failure reported.
  session::AddFault(Fault(4103, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  info = Info(1, E_ACCESSDENIED);
  EXPECT_EQ(info.ImageWidth, 64);
  StiSimClearFaults();
  // A failed lock: S_FALSE, and the caller's record is not written.
  session::LockTimesOut();
  info = Info(1, S_FALSE);
  EXPECT_EQ(info.ImageWidth, 0x5A5A5A5A);
}

TEST_F(ImageTest, NamesThatCannotBeSent)
{
  const std::string longName(300, 'n');
  OpenOnJobs(R"({"itemName": ")" + longName + R"(", "pages": 2})");
  Info();
  int left = 0;
  bridge->AdvancePage(0, &left, 0);
  TW_IMAGEINFO info = Info(1, S_FALSE);
  EXPECT_EQ(info.ImageWidth, 0x5A5A5A5A) << "the name has no 260-byte ANSI form";

  // PrepareTransfer reports the cut name and goes on with it.
  int status = 9;
  EXPECT_EQ(bridge->PrepareTransfer(0, 0, 0, 0, 0, 0, 0, 0, &status),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(status, 0);
  status = 9;
  EXPECT_EQ(bridge->PrepareTransfer(0, 0, 1, 0, 0, 0, 0, 0, &status), S_OK)
      << "the stored format's answer replaces the cut code";
  EXPECT_EQ(status, 0);
}

TEST_F(ImageTest, PrepareTransferChecksTheMechanism)
{
  OpenOnJobs(R"({"itemName": "a.tif"})");
  struct Case {
    int mechanism;
    int status;
  };
  const Case cases[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {-1, 1}};
  for (const Case& c : cases) {
    int status = 9;
    EXPECT_EQ(bridge->PrepareTransfer(0, 0, c.mechanism, 0, 0, 0, 0, 0, &status), S_OK);
    EXPECT_EQ(status, c.status) << c.mechanism;
  }
  EXPECT_EQ(session::JournalText(), "") << "nothing is sent";

  // An item whose name is empty: E_FAIL, status untouched.
  driver::ItemRecord* record = BridgeTestAccess::ItemList(bridge)->items[0];
  BSTR name = record->itemName;
  record->itemName = nullptr;
  int status = 9;
  EXPECT_EQ(bridge->PrepareTransfer(0, 0, 1, 0, 0, 0, 0, 0, &status), E_FAIL);
  EXPECT_EQ(status, 9);
  EXPECT_EQ(bridge->GetImageInfo(nullptr, 0), E_POINTER);
  int left = 0;
  ASSERT_EQ(bridge->SetPagesRemaining(2), S_OK);
  ASSERT_EQ(bridge->AdvancePage(0, &left, 0), E_FAIL) << "page 2 of a nameless item";
  record->itemName = name;
}

TEST_F(ImageTest, HeaderSizeFixUp)
{
  OpenOnJobs(R"({"itemName": "a.tif", "width": 101, "height": 10})");
  struct Case {
    LONG width, height;
    WORD bitCount;
    DWORD compression;
    DWORD sizeImage;
  };
  const Case cases[] = {
      {101, 10, 24, 0, 3040},
      {101, -10, 24, 0, static_cast<DWORD>(-3040)},
      {101, 10, 24, 1, 777},
      {1, 1, 1, 0, 4},
      // Products past 2^31 get their true size when it fits 32 bits, 0
      // (allowed for BI_RGB) when it does not.
      {14000, 9900, 24, 0, 415800000},
      {1 << 30, 1 << 20, 24, 0, 0},
  };
  // The driver fails, so the header keeps what the caller put in it.
  session::AddFault(Fault(4103, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.bitCount);
    BITMAPINFOHEADER header = {};
    header.biSize = 40;
    header.biWidth = c.width;
    header.biHeight = c.height;
    header.biBitCount = c.bitCount;
    header.biCompression = c.compression;
    header.biSizeImage = 777;
    STI_TRANSFER_REQUEST request = Request(1, itemName);
    int status = 9;
    EXPECT_EQ(
        bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), sizeof header, &status),
        S_OK);
    EXPECT_EQ(header.biSizeImage, c.sizeImage);
    EXPECT_EQ(status, 1) << "the escape failed";
  }
  StiSimClearFaults();

  // The driver's own header, and a buffer too small to hold one (no byte
  // past it is touched).
  STI_TRANSFER_REQUEST request = Request(1, itemName);
  BITMAPINFOHEADER header = {};
  int status = 9;
  EXPECT_EQ(
      bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), sizeof header, &status),
      S_OK);
  EXPECT_EQ(status, 6);
  EXPECT_EQ(header.biWidth, 101);
  EXPECT_EQ(header.biSizeImage, 3040u);
  std::vector<BYTE> small(20, 0xCC);
  status = 9;
  EXPECT_EQ(bridge->ReadImageHeader(&request, small.data(), int(small.size()), &status), S_OK);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(bridge->ReadImageHeader(&request, nullptr, 0, &status), S_OK);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(bridge->ReadImageHeader(&request, small.data(), -1, &status), E_INVALIDARG);
}

TEST_F(ImageTest, ByteCountsThatDoNotFitAreRefused)
{
  OpenOnJobs(R"({"itemName": "a.tif", "width": 20000, "height": 20000, "depth": 32000,
                 "deliveredDepth": 24})");
  Info();
  int count = 77;
  EXPECT_EQ(bridge->GetImageByteCount(&count), HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
  EXPECT_EQ(count, 77);

  OpenOnJobs(R"({"itemName": "a.tif", "width": 14000, "height": 9900})");
  EXPECT_EQ(bridge->GetImageByteCount(&count), S_OK) << "asks for the information itself";
  EXPECT_EQ(count, 415800000);

  IStiScannerComBridge* fresh = NewBridge();
  count = 77;
  EXPECT_EQ(fresh->GetImageByteCount(&count), E_FAIL) << "no selection: nothing to count";
  EXPECT_EQ(count, 77);
  fresh->Release();
}

TEST_F(ImageTest, SizeQueryAndStringRead)
{
  OpenOnJobs(R"({"itemName": "a.tif", "documentName": "Quarterly", "width": 16, "height": 8})");
  STI_TRANSFER_REQUEST request = Request(1, itemName);
  int size = 0, status = 9;
  EXPECT_EQ(bridge->QueryTransferSize(&request, &size, &status), S_OK);
  EXPECT_EQ(size, 16 * 3 * 8) << "the DIB's rows";
  EXPECT_EQ(status, 9);
  session::AddFault(Fault(4103, STISIM_FAULT_EMPTY));
  size = 5;
  EXPECT_EQ(bridge->QueryTransferSize(&request, &size, &status), E_FAIL) << "no size";
  EXPECT_EQ(size, 5);
  EXPECT_EQ(status, 1);
  StiSimClearFaults();

  // The string is a copy the client frees; the driver's own stays valid.
  for (int round = 0; round < 2; ++round) {
    BSTR text = nullptr;
    int length = 0;
    status = 9;
    EXPECT_EQ(bridge->ReadItemString(&request, &text, &length, &status), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Text(text), W("Quarterly"));
    EXPECT_EQ(length, 9);
    EXPECT_EQ(status, 9);
    EXPECT_EQ(SysStringLen(text), 9u);
    SysFreeString(text);
  }
  session::AddFault(Fault(4103, STISIM_FAULT_EMPTY));
  BSTR text = reinterpret_cast<BSTR>(0x1);
  int length = 4;
  EXPECT_EQ(bridge->ReadItemString(&request, &text, &length, &status), S_OK);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(status, 1);
  StiSimClearFaults();
  session::AddFault(Fault(STISIM_TARGET_UNLOCK, STISIM_FAULT_FAIL, E_UNEXPECTED));
  EXPECT_EQ(bridge->ReadItemString(&request, &text, &length, &status), E_UNEXPECTED);
  EXPECT_EQ(text, nullptr) << "nothing handed out with a failure";
  StiSimClearFaults();
  session::LockTimesOut();
  status = 9;
  EXPECT_EQ(bridge->ReadItemString(&request, &text, &length, &status), E_FAIL);
  EXPECT_EQ(status, 1);
  status = 9;
  EXPECT_EQ(bridge->QueryTransferSize(&request, &size, &status), E_FAIL);
  EXPECT_EQ(status, 1);
  status = 9;
  BITMAPINFOHEADER header = {};
  EXPECT_EQ(bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), 40, &status),
            E_FAIL);
  EXPECT_EQ(status, 1);
}

TEST_F(ImageTest, CapabilityFlag)
{
  OpenOn(
      session::OneDevice(R"({"itemName": "a"})", R"("capabilities": [{"id": 38935, "value": 1}])"));
  int flag = 0;
  EXPECT_EQ(bridge->GetCapabilityFlag(&flag), S_OK);
  EXPECT_EQ(flag, 1);
  OpenOn(session::OneDevice(R"({"itemName": "a"})"));
  EXPECT_EQ(bridge->GetCapabilityFlag(&flag), S_OK);
  EXPECT_EQ(flag, 0);
}

}  // namespace
