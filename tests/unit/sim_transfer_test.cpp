// ItemTransfer: page properties, native DIB pages, BMP and TIFF files, memory
// strips, size queries in the size word, string reads, and JobEnded.
#include <cstring>

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

}  // namespace
