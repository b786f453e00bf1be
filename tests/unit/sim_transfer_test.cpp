// ItemTransfer: page properties, native DIB pages, BMP and TIFF files, memory
// strips, size queries in the size word, string reads, and JobEnded; and the
// thumbnail files of the jobs' first pages.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "sim/tests/sim_test_support.h"

using namespace simtest;
using driver::EscapeCode;
using driver::PropertyRecord;
using driver::RequestBlock;

namespace {

uint32_t Le32(const std::vector<BYTE>& b, size_t at)
{
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
uint16_t Le16(const std::vector<BYTE>& b, size_t at)
{
  return uint16_t(b[at] | (b[at + 1] << 8));
}

// The value of a tag in a TIFF directory (inline values only).
uint32_t TiffTag(const std::vector<BYTE>& b, size_t directory, uint16_t tag)
{
  uint16_t entries = Le16(b, directory);
  for (uint16_t i = 0; i < entries; ++i) {
    size_t e = directory + 2 + 12 * i;
    if (Le16(b, e) != tag) continue;
    return Le16(b, e + 2) == 3 && Le32(b, e + 4) == 1 ? Le16(b, e + 8) : Le32(b, e + 8);
  }
  return 0xFFFFFFFF;
}

class TransferTest : public DriverTest {
 protected:
  RequestBlock Request(const WCHAR* item, DWORD operation, DWORD page, DWORD pageCount = 0,
                       DWORD format = 0)
  {
    std::memset(name, 0, sizeof name);
    for (int i = 0; item[i] != 0; ++i) name[i] = item[i];
    RequestBlock r{};
    r.operation = operation;
    r.formatCode = format;
    r.page = page;
    r.pageCount = pageCount;
    r.itemName = name;
    return r;
  }

  DWORD SizeOf(RequestBlock& r)
  {
    EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, nullptr, 0), S_OK);
    return sizeAfter;
  }

  // Reads the whole transfer in chunks; counts the chunks.
  std::vector<BYTE> ReadAll(RequestBlock& r, DWORD chunk, int* reads = nullptr)
  {
    std::vector<BYTE> all, buffer(chunk);
    for (int n = 1; n < 100000; ++n) {
      HRESULT hr = Send(EscapeCode::ItemTransfer, &r, 32, buffer.data(), chunk, chunk);
      EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
      if (FAILED(hr)) break;
      all.insert(all.end(), buffer.begin(), buffer.begin() + sizeAfter);
      if (hr == S_FALSE) {
        if (reads != nullptr) *reads = n;
        break;
      }
    }
    return all;
  }

  WCHAR name[260];
};

TEST_F(TransferTest, PagePropertiesAreEighteenRecordsOfThePage)
{
  RequestBlock r = Request(W("scan0003.tif"), 0, 2, 1);
  BYTE reply[driver::kPagePropertyBytes] = {};
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, reply, sizeof reply), S_OK);
  auto* records = reinterpret_cast<PropertyRecord*>(reply);
  EXPECT_EQ(records[17].Identifier() != 0, true);
  using namespace driver::property;
  EXPECT_EQ(driver::FindProperty(records, 18, kPixelsPerLine)->Int32(), 320);
  EXPECT_EQ(driver::FindProperty(records, 18, kNumberOfLines)->Int32(), 440);
  EXPECT_EQ(driver::FindProperty(records, 18, kDepth)->Int16(), 1);
  EXPECT_EQ(driver::FindProperty(records, 18, kPages)->Int32(), 3);
  EXPECT_EQ(driver::FindProperty(records, 18, 38950)->Int32(), 2);
  EXPECT_NE(driver::FindProperty(records, 18, kCompression), nullptr);

  // Outside the item, or a reply buffer too small: refused.
  r.page = 4;
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, reply, sizeof reply), E_INVALIDARG);
  r.page = 0;
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, reply, sizeof reply), E_INVALIDARG);
  r.page = 1;
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, reply, 1500),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(TransferTest, NativeTransferIsADibHeaderAndItsData)
{
  RequestBlock r = Request(W("scan0002.bmp"), 1, 1);
  BITMAPINFOHEADER header{};
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, &header, sizeof header), S_OK);
  EXPECT_EQ(header.biSize, 40u);
  EXPECT_EQ(header.biWidth, 240);
  EXPECT_EQ(header.biHeight, 320);
  EXPECT_EQ(header.biBitCount, 8);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(header.biSizeImage, 240u * 320u);
  EXPECT_EQ(header.biClrUsed, 256u);

  const DWORD size = SizeOf(r);
  EXPECT_EQ(size, 256u * 4u + 240u * 320u);
  int reads = 0;
  std::vector<BYTE> data = ReadAll(r, 16384, &reads);
  EXPECT_EQ(data.size(), size);
  EXPECT_EQ(reads, int((size + 16383) / 16384));
  // Grey palette, then the frame: the bottom row is black.
  EXPECT_EQ(data[4 * 200], 200);
  EXPECT_EQ(data[1024 + 10], 0);

  // A read that claims more than its buffer holds is refused.
  BYTE small[8];
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, small, 8, 64), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, nullptr, 0, 64), E_INVALIDARG);
}

TEST_F(TransferTest, TheGifJobDeliversColourWhileItsDepthRecordSaysEight)
{
  RequestBlock r = Request(W("scan0005.gif"), 1, 1);
  BITMAPINFOHEADER header{};
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, &header, sizeof header), S_OK);
  EXPECT_EQ(header.biBitCount, 24);
  EXPECT_EQ(header.biWidth, 160);
}

TEST_F(TransferTest, MemoryTransferComesInWholeRows)
{
  RequestBlock r = Request(W("scan0001.tif"), 0, 1, 0);
  const DWORD rowBytes = 248 * 3;
  EXPECT_EQ(SizeOf(r), rowBytes * 350);
  BYTE buffer[4000];
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, sizeof buffer, sizeof buffer), S_OK);
  EXPECT_EQ(sizeAfter, rowBytes * 5);
  std::vector<BYTE> rest = ReadAll(r, 4000);
  EXPECT_EQ(rest.size() + rowBytes * 5, rowBytes * 350);
  // Top row: the black frame; red rises along the row after it.
  EXPECT_EQ(buffer[0], 0);
  EXPECT_GT(buffer[rowBytes * 4 + 3 * 200], buffer[rowBytes * 4 + 3 * 100]);

  BYTE tiny[100];
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, tiny, sizeof tiny, sizeof tiny),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(TransferTest, FileTransfersAreBmpAndTiffFilesOfThePage)
{
  RequestBlock bmp = Request(W("scan0001.tif"), 2, 2, 0, driver::kFileFormatBmp);
  std::vector<BYTE> file = ReadAll(bmp, 65536);
  ASSERT_GT(file.size(), 54u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(Le32(file, 2), file.size());
  EXPECT_EQ(Le32(file, 18), 248u);
  EXPECT_EQ(Le32(file, 22), 350u);
  EXPECT_EQ(Le16(file, 28), 24u);

  RequestBlock tiff = Request(W("scan0003.tif"), 2, 1, 0, driver::kFileFormatTiff);
  file = ReadAll(tiff, 65536);
  ASSERT_EQ(file[0], 'I');
  EXPECT_EQ(Le16(file, 2), 42u);
  size_t directory = Le32(file, 4);
  EXPECT_EQ(TiffTag(file, directory, 256), 320u);
  EXPECT_EQ(TiffTag(file, directory, 257), 440u);
  EXPECT_EQ(TiffTag(file, directory, 258), 1u);
  EXPECT_EQ(Le32(file, directory + 2 + 12 * Le16(file, directory)), 0u);  // one page

  // Page 0 of a multi-page TIFF is the whole document.
  RequestBlock multi = Request(W("scan0003.tif"), 2, 0, 0, driver::kFileFormatTiffMulti);
  file = ReadAll(multi, 65536);
  int pages = 0;
  for (size_t d = Le32(file, 4); d != 0; d = Le32(file, d + 2 + 12 * Le16(file, d))) ++pages;
  EXPECT_EQ(pages, 3);

  RequestBlock jpeg = Request(W("scan0001.tif"), 2, 1, 0, driver::kFileFormatJpeg);
  BYTE buffer[64];
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &jpeg, 32, buffer, 64, 64), E_NOTIMPL);
  RequestBlock odd = Request(W("scan0001.tif"), 2, 1, 0, 3);
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &odd, 32, buffer, 64, 64), E_INVALIDARG);
}

TEST_F(TransferTest, TheLastPageOfAJobSignalsJobEnded)
{
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG cookie = 0;
  ASSERT_EQ(Send(EscapeCode::RegisterEvent, &ended, 8, &cookie, 4, 16), S_OK);
  RequestBlock r = Request(W("scan0001.tif"), 1, 1);
  ReadAll(r, 1 << 20);
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_TIMEOUT);  // page 1 of 2
  r.page = 2;
  ReadAll(r, 1 << 20);
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_OBJECT_0);
  CloseHandle(ended);
}

// The driver keeps the page it drew last; reading a page again, or another
// page in the middle of one, must still give every page whole and as drawn.
TEST_F(TransferTest, PagesReadAgainOrInterleavedComeOutWholeAndTheSame)
{
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG cookie = 0;
  ASSERT_EQ(Send(EscapeCode::RegisterEvent, &ended, 8, &cookie, 4, 16), S_OK);
  RequestBlock one = Request(W("scan0001.tif"), 1, 1);
  RequestBlock two = one;
  two.page = 2;
  const std::vector<BYTE> first = ReadAll(one, 65536);
  const std::vector<BYTE> second = ReadAll(two, 65536);
  ASSERT_EQ(first.size(), second.size());
  EXPECT_NE(first, second);
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_OBJECT_0);

  EXPECT_EQ(ReadAll(two, 65536), second) << "the page drawn last, read again";
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_OBJECT_0) << "the job ends again";
  EXPECT_EQ(SizeOf(one), first.size());
  EXPECT_EQ(ReadAll(one, 65536), first) << "a page drawn before, read again";

  // Page 1 begun, page 2 read whole in between, page 1 finished.
  std::vector<BYTE> interleaved(4096);
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &one, 32, interleaved.data(), 4096, 4096), S_OK);
  EXPECT_EQ(ReadAll(two, 65536), second);
  const std::vector<BYTE> rest = ReadAll(one, 65536);
  interleaved.insert(interleaved.end(), rest.begin(), rest.end());
  EXPECT_EQ(interleaved, first);

  // The same page in another form is its own transfer.
  RequestBlock rows = Request(W("scan0001.tif"), 0, 1, 0);
  EXPECT_EQ(ReadAll(rows, 65536).size(), 248u * 3u * 350u);
  EXPECT_EQ(ReadAll(one, 65536), first);
  CloseHandle(ended);
}

TEST_F(TransferTest, StringReadsAnswerWithADriverOwnedString)
{
  RequestBlock r = Request(W("scan0002.bmp"), 1, 1);
  const WCHAR* text = nullptr;
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, &text, 8), S_OK);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(Text(text), Text(W("Meeting notes")));
  RequestBlock file = Request(W("scan0002.bmp"), 2, 0, 0, driver::kFileFormatTiff);
  ASSERT_EQ(Send(EscapeCode::ItemTransfer, &file, 32, &text, 8), S_OK);
  EXPECT_EQ(Text(text), Text(W("scan0002.tif")));
}

TEST_F(TransferTest, RequestsForWhatDoesNotExistAreRefused)
{
  BYTE buffer[64];
  RequestBlock r = Request(W("nothing.tif"), 1, 1);
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, 64, 64), STIERR_OBJECTNOTFOUND);
  r = Request(W("scan0001.tif"), 3, 1);
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, 64, 64), E_INVALIDARG);
  r = Request(W("scan0001.tif"), 1, 3);
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, 64, 64), E_INVALIDARG);
  r = Request(W("scan0001.tif"), 1, 1);
  r.itemName = nullptr;
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, 64, 64), E_INVALIDARG);
  for (WCHAR& c : name) c = W('a');  // no terminator within 260 units
  r.itemName = name;
  EXPECT_EQ(Send(EscapeCode::ItemTransfer, &r, 32, buffer, 64, 64), E_INVALIDARG);
}

TEST_F(TransferTest, SizeAnswersCanBeMadeToDisagree)
{
  RequestBlock r = Request(W("scan0002.bmp"), 1, 1);
  const DWORD size = SizeOf(r);
  StiSimFault off = Fault(4103, STISIM_FAULT_MISMATCH);
  off.countDelta = -10;
  off.operation = 1;
  StiSimAddFault(&off);
  EXPECT_EQ(SizeOf(r), size - 10);
  StiSimClearFaults();
  StiSimFault fail = Fault(4103, STISIM_FAULT_FAIL, E_FAIL);
  fail.operation = 2;  // file transfers only
  StiSimAddFault(&fail);
  EXPECT_EQ(SizeOf(r), size);
}

namespace fs = std::filesystem;

std::vector<BYTE> FileBytes(const fs::path& file)
{
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A path as a JSON string's contents.
std::string JsonText(const fs::path& path)
{
  const std::u8string utf8 = path.u8string();
  std::string out;
  for (char8_t c : utf8) {
    if (c == u8'\\' || c == u8'"') out.push_back('\\');
    out.push_back(static_cast<char>(c));
  }
  return out;
}

// A picture as a decoder that goes by the file's content reads a BMP: the
// file header, a 40-byte bitmap header of 24 bits without compression, and
// bottom-up rows of B, G, R padded to 4 bytes. `rgb` is top-down R, G, B.
struct Picture {
  LONG width = 0, height = 0;
  std::vector<BYTE> rgb;
};

bool DecodeBmp(const std::vector<BYTE>& b, Picture& picture)
{
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || Le32(b, 2) != b.size() || Le32(b, 14) != 40 ||
      Le16(b, 26) != 1 || Le16(b, 28) != 24 || Le32(b, 30) != 0)
    return false;
  const LONG w = static_cast<LONG>(Le32(b, 18)), h = static_cast<LONG>(Le32(b, 22));
  const size_t offset = Le32(b, 10), padded = (static_cast<size_t>(w) * 3 + 3) / 4 * 4;
  if (w <= 0 || h <= 0 || offset + padded * static_cast<size_t>(h) > b.size()) return false;
  picture.width = w;
  picture.height = h;
  picture.rgb.resize(static_cast<size_t>(w) * h * 3);
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k)
        picture.rgb[(static_cast<size_t>(y) * w + x) * 3 + k] =
            b[offset + static_cast<size_t>(h - 1 - y) * padded + static_cast<size_t>(x) * 3 + 2 - k];
  return true;
}

class ThumbnailFileTest : public TransferTest {
 protected:
  void SetUp() override
  {
    TransferTest::SetUp();
    root = fs::temp_directory_path() /
           ("stisim-thumbnails-" + std::to_string(static_cast<unsigned long>(GetCurrentProcessId())));
    std::error_code ignored;
    fs::remove_all(root, ignored);
    ASSERT_TRUE(fs::create_directories(root));
  }
  void TearDown() override
  {
    TransferTest::TearDown();
    std::error_code ignored;
    fs::remove_all(root, ignored);
    ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
  }
  // Two devices with these FilingPath folders under `root`; the second one,
  // which the transfers go to, has `jobs`.
  HRESULT Load(const std::string& first, const std::string& second, const std::string& jobs)
  {
    device->UnLockDevice();
    device->Release();
    device = nullptr;
    const std::string json = R"({"devices": [
        {"index": 0, "deviceData": {"FilingPath": ")" + JsonText(root / first) + R"("},
         "jobs": [{"itemName": "scan0002"}]},
        {"index": 1, "deviceData": {"FilingPath": ")" + JsonText(root / second) + R"("},
         "jobs": [)" + jobs + "]}]}";
    const HRESULT hr = StiSimLoadScenarioJson(json.c_str());
    if (FAILED(hr)) return hr;
    device = Create(1);
    return device != nullptr ? device->LockDevice(100) : E_FAIL;
  }
  // Page 1 of the job as R, G, B, from its native transfer (24 or 8 bits).
  Picture Page(const WCHAR* item, LONG width, LONG height, int bits)
  {
    RequestBlock r = Request(item, driver::kOperationNative, 1);
    const std::vector<BYTE> dib = ReadAll(r, 65536);
    const size_t palette = bits == 8 ? 1024 : 0;
    const size_t padded = (static_cast<size_t>(width) * (bits / 8) + 3) / 4 * 4;
    Picture page;
    page.width = width;
    page.height = height;
    page.rgb.resize(static_cast<size_t>(width) * height * 3);
    EXPECT_EQ(dib.size(), palette + padded * static_cast<size_t>(height));
    if (dib.size() != palette + padded * static_cast<size_t>(height)) return page;
    for (LONG y = 0; y < height; ++y)
      for (LONG x = 0; x < width; ++x)
        for (int k = 0; k < 3; ++k) {
          const BYTE* row = dib.data() + palette + static_cast<size_t>(height - 1 - y) * padded;
          page.rgb[(static_cast<size_t>(y) * width + x) * 3 + k] =
              bits == 8 ? row[x] : row[static_cast<size_t>(x) * 3 + 2 - k];
        }
    return page;
  }
  fs::path root;
};

// Each job's thumbnail lies where the bridge's thumbnail path points (the
// last "." of the whole path made "_", ".tmb" added): a picture of its first
// page at most 128 pixels on its long side, its aspect kept; none for a
// missing one (an older file is removed); a file cut inside its header for a
// corrupt one; and nothing for a name that is no plain file name or would
// leave the folder.
TEST_F(ThumbnailFileTest, EachJobHasThePictureOrAbsenceItAsksForWhereTheBridgeLooks)
{
  fs::create_directories(root / "Spool");
  std::ofstream(root / "Spool" / "missing_tif.tmb") << "from an earlier installation";
  ASSERT_EQ(Load("Spool.1", "Spool", R"(
      {"itemName": "scan0001.tif", "width": 248, "height": 350},
      {"itemName": "grey.bmp", "width": 121, "height": 80, "dataType": 2},
      {"itemName": "a.b.tif", "width": 300, "height": 200, "dataType": 0},
      {"itemName": "CON.tif"},
      {"itemName": "later.tif", "arrivesAfterMs": 60000},
      {"itemName": "missing.tif", "thumbnail": "missing"},
      {"itemName": "corrupt.tif", "thumbnail": "corrupt"},
      {"itemName": "COM1.scan.tif"}, {"itemName": "a?b.tif"}, {"itemName": "sub\\x.tif"},
      {"itemName": "..\\..\\out.tif"})"),
            S_OK);
  ASSERT_EQ(StiSimWriteThumbnails(), S_OK);

  struct Case {
    fs::path file;
    LONG width, height;  // 0: a corrupt file
    const WCHAR* pageOf;  // compared with this job's first page (24 or 8 bits)
    int bits;
  };
  const Case cases[] = {
      {root / "Spool" / "scan0001_tif.tmb", 91, 128, W("scan0001.tif"), 24},
      {root / "Spool" / "grey_bmp.tmb", 121, 80, W("grey.bmp"), 8},
      {root / "Spool" / "a.b_tif.tmb", 128, 85, nullptr, 0},
      {root / "Spool" / "CON_tif.tmb", 91, 128, nullptr, 0},
      {root / "Spool" / "later_tif.tmb", 91, 128, nullptr, 0},
      {root / "Spool" / "corrupt_tif.tmb", 0, 0, nullptr, 0},
      {root / "Spool_1" / "scan0002.tmb", 91, 128, nullptr, 0},
  };
  std::set<fs::path> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.string());
    expected.insert(c.file);
    const std::vector<BYTE> bytes = FileBytes(c.file);
    Picture thumbnail;
    if (c.width == 0) {
      EXPECT_EQ(bytes.size(), 30u);
      EXPECT_FALSE(DecodeBmp(bytes, thumbnail));
      continue;
    }
    ASSERT_TRUE(DecodeBmp(bytes, thumbnail));
    EXPECT_EQ(thumbnail.width, c.width);
    EXPECT_EQ(thumbnail.height, c.height);
    if (c.pageOf == nullptr) continue;
    // The page scaled: each pixel near the mean of the page's block under it.
    const Picture page = Page(c.pageOf, c.width == 91 ? 248 : 121, c.width == 91 ? 350 : 80, c.bits);
    double difference = 0;
    for (LONG ty = 0; ty < thumbnail.height; ++ty)
      for (LONG tx = 0; tx < thumbnail.width; ++tx)
        for (int k = 0; k < 3; ++k) {
          double sum = 0;
          int count = 0;
          for (LONG y = ty * page.height / thumbnail.height;
               y < (ty + 1) * page.height / thumbnail.height; ++y)
            for (LONG x = tx * page.width / thumbnail.width;
                 x < (tx + 1) * page.width / thumbnail.width; ++x, ++count)
              sum += page.rgb[(static_cast<size_t>(y) * page.width + x) * 3 + k];
          difference += std::abs(sum / count -
                                 thumbnail.rgb[(static_cast<size_t>(ty) * thumbnail.width + tx) * 3 + k]);
        }
    EXPECT_LT(difference / (thumbnail.width * thumbnail.height * 3), 4.0);
  }
  std::set<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) found.insert(entry.path());
  EXPECT_EQ(found, expected) << "files written, and only those";
}

TEST_F(ThumbnailFileTest, AThumbnailThatCannotBeWrittenIsReportedWithItsJob)
{
  std::ofstream(root / "plain") << "a file, not a folder";
  ASSERT_EQ(Load("Spool", "plain/Spool", R"({"itemName": "scan0001.tif"})"), S_OK);
  EXPECT_EQ(StiSimWriteThumbnails(), E_FAIL);
  char reason[512] = {};
  StiSimLastError(reason, sizeof reason);
  EXPECT_EQ(std::string(reason).rfind("devices[1].jobs[0]: thumbnail ", 0), 0u) << reason;
}

}  // namespace
