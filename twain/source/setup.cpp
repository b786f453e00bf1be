// The set-up of transfers: the buffers of a memory transfer
// (DAT_SETUPMEMXFER), the file of a file transfer (DAT_SETUPFILEXFER), and
// the one group of data this source transfers (DAT_XFERGROUP).
#include <cstring>
#include <string>

#include "source/session.h"
#include "source/units.h"

namespace twainds {

namespace {

// The reads this source prefers: about a MiB each, in whole rows (larger
// reads cost fewer round trips to the server).
constexpr TW_UINT32 kPreferredRead = 1 << 20;

constexpr char kDefaultFile[] = "TWAIN.TMP";

// The full path of `name` if it can be a file this source writes: a name
// (not a folder) without characters Windows refuses in one, in a folder
// that exists. A relative name is taken from the current folder now: an
// application's file dialog may change that folder before the transfer.
bool Resolved(const char* name, std::string& path)
{
  for (const char* p = name; *p != '\0'; ++p)
    if (static_cast<unsigned char>(*p) < 32 || std::strchr("<>\"|?*", *p) != nullptr) return false;
  char full[MAX_PATH] = {};
  char* part = nullptr;
  const DWORD length = GetFullPathNameA(name, MAX_PATH, full, &part);
  if (length == 0 || length >= MAX_PATH || part == nullptr || *part == '\0') return false;
  const DWORD self = GetFileAttributesA(full);
  if (self != INVALID_FILE_ATTRIBUTES && (self & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  path = full;
  *part = '\0';
  const DWORD folder = GetFileAttributesA(full);
  return folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

Result Session::SetupMemory(TW_MEMREF data)
{
  auto* setup = static_cast<TW_SETUPMEMXFER*>(data);
  if (setup == nullptr) return Failed(TWCC_BADVALUE);
  // A buffer takes at least one row: the page's as it comes over (cut to
  // the frame), once it is known, else the widest the scanner makes (its
  // largest area at 600 dpi in colour).
  TW_UINT32 row = 0;
  if (state == State::kReady || state == State::kTransferring) {
    TW_IMAGEINFO info;
    Region region;
    const HRESULT hr = PageAtHand(info, region);
    if (FAILED(hr)) return ScannerFailure(hr);
    const long width = region.width > 0 ? region.width : info.ImageWidth;
    row = static_cast<TW_UINT32>(
        (static_cast<unsigned long long>(width > 0 ? width : 1) *
             static_cast<unsigned long long>(info.BitsPerPixel > 0 ? info.BitsPerPixel : 1) +
         7) /
        8);
  } else {
    row = static_cast<TW_UINT32>(PhysicalArea().width * Resolutions().back() + 1) * 3;
  }
  setup->MinBufSize = row;
  setup->MaxBufSize = TWON_DONTCARE32;
  setup->Preferred = row >= kPreferredRead ? row : kPreferredRead / row * row;
  return Done();
}

void Session::ResolveFileName()
{
  // The default name in the folder current at MSG_OPENDS (or the reset);
  // a folder that cannot take it shows at the transfer.
  char full[MAX_PATH] = {};
  const DWORD length = GetFullPathNameA(choices_.fileName.c_str(), MAX_PATH, full, nullptr);
  choices_.filePath = length > 0 && length < MAX_PATH ? full : choices_.fileName;
}

Result Session::SetupFile(TW_UINT16 message, TW_MEMREF data)
{
  auto* setup = static_cast<TW_SETUPFILEXFER*>(data);
  if (setup == nullptr) return Failed(TWCC_BADVALUE);
  switch (message) {
    case MSG_SET: {
      // A name within its 255 characters, and a format the file transfer
      // writes (ICAP_IMAGEFILEFORMAT's, which it sets too).
      const size_t length = strnlen(setup->FileName, sizeof setup->FileName);
      std::string path;
      if (length == 0 || length == sizeof setup->FileName || !Resolved(setup->FileName, path) ||
          !FileFormatFits(setup->Format, choices_.mechanism) ||
          !negotiation_.Permits(ICAP_IMAGEFILEFORMAT, setup->Format))
        return Failed(TWCC_BADVALUE);
      const std::string name(setup->FileName, length);
      if (name != choices_.fileName || path != choices_.filePath) EndMultiPageFile();
      choices_.fileName = name;
      choices_.filePath = path;
      choices_.fileFormat = setup->Format;
      return Done();
    }
    case MSG_RESET:
      EndMultiPageFile();
      choices_.fileName = kDefaultFile;
      choices_.fileFormat = TWFF_BMP;
      ResolveFileName();
      [[fallthrough]];
    case MSG_GET: {
      std::memset(setup->FileName, 0, sizeof setup->FileName);
      choices_.fileName.copy(setup->FileName, sizeof setup->FileName - 1);
      setup->Format = choices_.fileFormat;
      setup->VRefNum = 0;
      return Done();
    }
    case MSG_GETDEFAULT:
      std::memset(setup->FileName, 0, sizeof setup->FileName);
      std::strcpy(setup->FileName, kDefaultFile);
      setup->Format = TWFF_BMP;
      setup->VRefNum = 0;
      return Done();
    default:
      return Failed(TWCC_BADPROTOCOL);
  }
}

Result Session::TransferGroup(TW_UINT16 message, TW_MEMREF data)
{
  auto* group = static_cast<TW_UINT32*>(data);
  if (group == nullptr) return Failed(TWCC_BADVALUE);
  // Images only.
  if (message == MSG_SET) return *group == DG_IMAGE ? Done() : Failed(TWCC_BADVALUE);
  *group = DG_IMAGE;
  return Done();
}

}  // namespace twainds
