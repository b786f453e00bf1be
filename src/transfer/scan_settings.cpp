// Scan settings: the driver's settings block, decoded into the client's five
// TWAIN values and written back with a composed job name; the settings and
// capability blocks handed back to the driver; and the stored file format of
// the item the page walk is on.
#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/unique.h"
#include "com/wide_string.h"
#include "transfer/code_tables.h"

using driver::BlockKind;
using driver::EscapeCode;
using driver::PropertyRecord;
namespace property = driver::property;

namespace {

// Replaces the 32-bit value of the first record of `identifier`; the record
// keeps its type tag. E_FAIL when the block has no such record.
HRESULT SetBlockProperty(driver::SettingsBlock* block, DWORD identifier, LONG value)
{
  if (block->propertyCount == 0) return E_FAIL;
  PropertyRecord* record =
      driver::FindProperty(block->properties, block->propertyCount, identifier);
  if (record == nullptr) return E_FAIL;
  record->SetInt32(value);
  return S_OK;
}

// Writes the decoded value of `code` to `out`; a table without a default
// leaves `out` alone for a code it does not name.
void DecodeInto(const code_tables::DecodeTable& table, LONG code, short* out)
{
  if (std::optional<SHORT> value = code_tables::Decode(table, code)) *out = *value;
}

bool IsTitleDelimiter(WCHAR c)
{
  return c == W(' ') || c == W(',') || c == W('\t') || c == W('\n');
}

// "_token1_token2...": each token of the title after an underscore. A name
// that no longer fits keeps its cut text and takes no further tokens.
void ComposeTitle(const WCHAR* title, WCHAR* name)
{
  name[0] = 0;
  const WCHAR* p = title;
  while (*p != 0) {
    while (*p != 0 && IsTitleDelimiter(*p)) ++p;
    const WCHAR* start = p;
    while (*p != 0 && !IsTitleDelimiter(*p)) ++p;
    if (p == start) break;
    // A token longer than the name could hold is cut here already; the
    // format below cuts it anyway.
    WCHAR token[kStringUnits];
    WStrCopyPrefix(token, kStringUnits, start, static_cast<size_t>(p - start));
    if (WStrFormat(name, kStringUnits, W("%s_%s"), name, token) == kStringCut) return;
  }
}

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetScanSettings(short* pixelType, short* paperSize,
                                                                short* resolution,
                                                                short* fileFormat,
                                                                short* optionFlag)
{
  if (pixelType == nullptr || paperSize == nullptr || resolution == nullptr ||
      fileFormat == nullptr || optionFlag == nullptr) {
    return E_POINTER;
  }
  // Access begins every time; ending it is left to the client or to Close.
  HRESULT hr = static_cast<IStiScannerComBridge*>(this)->BeginAccess();
  if (FAILED(hr)) return hr;

  // The block is fetched only when none is held; a held one is decoded again
  // with whatever SetScanSettings wrote into it.
  if (!scanSettings) {
    if (device == nullptr) return E_FAIL;
    DriverTransaction transaction(device);
    if (!transaction.Locked()) return transaction.LockResult();
    driver::SettingsBlock* fetched = nullptr;
    HRESULT escaped =
        transaction.Escape(EscapeCode::GetScanSettings, nullptr, 0, &fetched, sizeof(fetched));
    // Nothing a failed escape left in the slot is a block of the bridge's.
    // A block the driver delivered is the bridge's to hand back, even when
    // the unlock then fails: it is kept for the next call to decode and for
    // ReleaseScanSettings or Close to hand back.
    if (SUCCEEDED(escaped)) scanSettings.Hold(fetched, device);
    hr = transaction.Result();
    if (FAILED(hr)) return hr;
  }

  if (!scanSettings || scanSettings->properties == nullptr) return E_FAIL;
  driver::ForEachProperty(
      scanSettings->properties, scanSettings->propertyCount, [&](const PropertyRecord& p) {
        switch (p.Identifier()) {
          case property::kDataType:
            DecodeInto(code_tables::kPixelTypeFromDataType, p.Int32(), pixelType);
            break;
          case property::kXResolution:
            DecodeInto(code_tables::kResolutionFromCode, p.Int32(), resolution);
            break;
          case property::kPaperSize:
            DecodeInto(code_tables::kPaperSizeFromCode, p.Int32(), paperSize);
            break;
          case property::kFileFormat:
            DecodeInto(code_tables::kFileFormatFromCode, p.Int32(), fileFormat);
            break;
          case property::kOption:
            DecodeInto(code_tables::kOptionFromCode, p.Int32(), optionFlag);
            break;
        }
      });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetScanSettings(LPWSTR jobName, short pixelType,
                                                                short paperSize, short resolution,
                                                                short fileFormat, short sizeFlag,
                                                                short optionFlag)
{
  if (jobName == nullptr) return E_POINTER;
  // The block comes from GetScanSettings; without one there is nothing to
  // write into.
  if (!scanSettings) return E_FAIL;

  WCHAR name[kStringUnits];
  ComposeTitle(jobName, name);
  WCHAR prefix[kStringUnits] = {};
  WCHAR composed[kStringUnits] = {};
  // Only a whole prefix is used; the job name is then cut to 127 units.
  if (deviceInfo != nullptr && GetJobNamePrefix(prefix) == S_OK)
    WStrFormat(composed, 128, W("%s_%s"), prefix, name);
  else
    WStrCopy(composed, kStringUnits, name);

  UniqueBstr newJobName(SysAllocString(composed));
  if (!newJobName) return E_FAIL;
  SysFreeString(scanSettings->jobName);
  scanSettings->jobName = newJobName.Detach();

  if (storeId == nullptr) return E_FAIL;
  BSTR newStoreId = SysAllocString(storeId);
  if (newStoreId == nullptr) return E_FAIL;
  SysFreeString(scanSettings->storeId);
  scanSettings->storeId = newStoreId;

  // The six values the settings need; a block that lacks one is refused
  // before anything is sent (the writes made so far stay in the block).
  const struct {
    DWORD identifier;
    LONG value;
  } checked[] = {
      {property::kDataType, code_tables::Encode(code_tables::kDataTypeFromPixelType, pixelType)},
      {property::kFileFormat, code_tables::Encode(code_tables::kCodeFromFileFormat, fileFormat)},
      {property::kXResolution, code_tables::Encode(code_tables::kCodeFromResolution, resolution)},
      {property::kPaperSize, code_tables::EncodePaperSize(paperSize, sizeFlag)},
      {property::kOption, code_tables::Encode(code_tables::kCodeFromOption, optionFlag)},
      {property::kReserved38920, 0},
  };
  for (const auto& write : checked)
    if (FAILED(SetBlockProperty(scanSettings.Get(), write.identifier, write.value))) return E_FAIL;
  // Fixed values a block may lack without harm.
  SetBlockProperty(scanSettings.Get(), property::kReserved38938, 3);
  SetBlockProperty(scanSettings.Get(), property::kReserved38936, 0);
  SetBlockProperty(scanSettings.Get(), property::kReserved38949, 0);
  SetBlockProperty(scanSettings.Get(), property::kReserved38953, 0);

  HRESULT hr = static_cast<IStiScannerComBridge*>(this)->SendScanSettings();
  return FAILED(hr) ? E_FAIL : hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SendScanSettings()
{
  if (!scanSettings || scanSettings->properties == nullptr || device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;
  transaction.Escape(EscapeCode::SetScanSettings, scanSettings.Get(), sizeof(driver::SettingsBlock),
                     nullptr, 0);
  return transaction.Result();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReleaseScanSettings()
{
  return scanSettings.HandBack(BlockKind::Settings, true);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReleaseCapabilities()
{
  return capabilities.HandBack(BlockKind::Capabilities);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemFormat(short* fileFormat)
{
  if (fileFormat == nullptr) return E_POINTER;
  const driver::ItemRecord* item = CurrentItem();
  if (item == nullptr) return E_FAIL;
  // Four codes have a TWAIN format here; any other leaves the caller's value.
  driver::ForEachProperty(item->properties, item->propertyCount, [&](const PropertyRecord& p) {
    if (p.Identifier() == property::kFileFormat)
      DecodeInto(code_tables::kItemFileFormatFromCode, p.Int32(), fileFormat);
  });
  return S_OK;
}
