// The reads of a transfer: the client's request goes to the driver with
// escape ItemTransfer (data, the size of a transfer, the page's bitmap
// header, a string), and the driver's answer becomes a TWAIN return code in
// the client's status word.
#include <cstring>
#include <limits>

#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/unique.h"
#include "transfer/page_bytes.h"

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;

// The bytes of a BITMAPINFOHEADER, which a header buffer must hold whole for
// its size to be fixed up.
constexpr int kBitmapHeaderBytes = 40;
constexpr DWORD kRgbCompression = 0;  // BI_RGB

// Sets biSizeImage of an uncompressed DIB header from its dimensions; a size
// that does not fit 32 bits becomes 0, which a BI_RGB header may carry.
void FixImageSize(BYTE* header)
{
  BITMAPINFOHEADER h;
  std::memcpy(&h, header, sizeof h);
  if (h.biSize != kBitmapHeaderBytes || h.biCompression != kRgbCompression) return;
  std::optional<LONG> bytes = page_bytes::Dib(h.biBitCount, h.biWidth, h.biHeight);
  h.biSizeImage = bytes ? static_cast<DWORD>(*bytes) : 0;
  std::memcpy(header, &h, sizeof h);
}

// The client's request as the driver is given it: the client's six words,
// and the item name copied into a zero-filled buffer of 260 units of the
// bridge's own (cut to 259, as every request the bridge builds), which is
// what the protocol promises the driver. The name the client's request
// points at is only as long as the client made it (across the process
// boundary, exactly as long as the marshalled string); a null name becomes
// an empty one, which names no job.
class DriverRequest {
 public:
  explicit DriverRequest(const STI_TRANSFER_REQUEST& client)
  {
    std::memcpy(&block, &client, sizeof block);
    // Every read pays for this copy: the name is copied and only the rest of
    // the buffer zeroed, rather than the whole buffer written twice.
    size_t units = 0;
    if (client.itemName != nullptr)
      while (units < driver::kItemNameCapacity - 1 && client.itemName[units] != 0) ++units;
    if (units != 0) std::memcpy(name, client.itemName, units * sizeof(WCHAR));
    std::memset(name + units, 0, (driver::kItemNameCapacity - units) * sizeof(WCHAR));
    block.itemName = name;
  }
  DriverRequest(const DriverRequest&) = delete;
  DriverRequest& operator=(const DriverRequest&) = delete;

  driver::RequestBlock block;

 private:
  WCHAR name[driver::kItemNameCapacity];
};

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReadImageData(STI_TRANSFER_REQUEST* request,
                                                              BYTE* buffer, int bufferSize,
                                                              int* status)
{
  if (status == nullptr || request == nullptr) return E_POINTER;
  if (bufferSize < 0) {
    *status = kTwrcFailure;
    return E_INVALIDARG;
  }
  DriverTransaction transaction(device);
  if (!transaction.Locked()) {
    *status = kTwrcFailure;
    return E_FAIL;
  }

  // The driver reads the page of the walk. The caller's request is an [in]
  // parameter and stays as the caller filled it: across the process
  // boundary nothing would carry a change back, and in-process the same
  // call must not behave otherwise.
  DriverRequest pageRequest(*request);
  pageRequest.block.page = static_cast<DWORD>(pageInItem);
  // The size word carries the buffer's size in; what the driver leaves in it
  // means nothing, so nothing the driver wrote is judged by it. No memory of
  // the server's reaches the client either way: in-process the buffer is the
  // client's own, and across the boundary it is the stub's, which comes
  // zero-filled ([out] only).
  HRESULT hr = transaction.Escape(driver::EscapeCode::ItemTransfer, &pageRequest.block,
                                  sizeof(driver::RequestBlock), buffer,
                                  static_cast<DWORD>(bufferSize), static_cast<DWORD>(bufferSize));
  if (buffer == nullptr) {
    *status = kTwrcFailure;
  } else if (hr == S_OK) {
    *status = kTwrcSuccess;
  } else if (hr == S_FALSE) {
    *status = kTwrcXferDone;
  } else {
    *status = kTwrcFailure;
  }
  if (FAILED(transaction.Unlock())) *status = kTwrcFailure;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::QueryTransferSize(STI_TRANSFER_REQUEST* request,
                                                                  int* size, int* status)
{
  if (request == nullptr || size == nullptr || status == nullptr) return E_POINTER;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) {
    *status = kTwrcFailure;
    return E_FAIL;
  }
  // The driver answers in the size word.
  DriverRequest sizeRequest(*request);
  DWORD answer = 0;
  HRESULT hr = transaction.Escape(driver::EscapeCode::ItemTransfer, &sizeRequest.block,
                                  sizeof(driver::RequestBlock), nullptr, 0, 0, &answer);
  transaction.Unlock();
  // A size the answer cannot carry as a positive int is no size.
  if (SUCCEEDED(hr) && answer != 0 && answer <= DWORD(std::numeric_limits<int>::max())) {
    *size = static_cast<int>(answer);
    return S_OK;
  }
  *status = kTwrcFailure;
  return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReadImageHeader(STI_TRANSFER_REQUEST* request,
                                                                BYTE* header, int headerSize,
                                                                int* status)
{
  if (request == nullptr || status == nullptr) return E_POINTER;
  if (headerSize < 0) {
    *status = kTwrcFailure;
    return E_INVALIDARG;
  }
  DriverTransaction transaction(device);
  if (!transaction.Locked()) {
    *status = kTwrcFailure;
    return E_FAIL;
  }
  DriverRequest headerRequest(*request);
  HRESULT hr =
      transaction.Escape(driver::EscapeCode::ItemTransfer, &headerRequest.block,
                         sizeof(driver::RequestBlock), header, static_cast<DWORD>(headerSize));
  // Whatever the driver answered; only a buffer that holds a whole header is
  // looked at.
  if (header != nullptr && headerSize >= kBitmapHeaderBytes) FixImageSize(header);
  *status = SUCCEEDED(hr) && header != nullptr ? kTwrcXferDone : kTwrcFailure;
  transaction.Unlock();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReadItemString(STI_TRANSFER_REQUEST* request,
                                                               BSTR* text, int* length, int* status)
{
  if (request == nullptr || text == nullptr || length == nullptr || status == nullptr)
    return E_POINTER;
  // An [out] string: nothing is handed out unless the read succeeds.
  *text = nullptr;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) {
    *status = kTwrcFailure;
    return E_FAIL;
  }
  // The driver stores a pointer to its own string; the client gets a BSTR
  // copy, which the marshaler frees after sending it. The driver's string
  // stays the driver's.
  const WCHAR* driverText = nullptr;
  DriverRequest stringRequest(*request);
  HRESULT hr = transaction.Escape(driver::EscapeCode::ItemTransfer, &stringRequest.block,
                                  sizeof(driver::RequestBlock), &driverText, sizeof(driverText));
  HRESULT result = S_OK;
  UniqueBstr copy;
  if (SUCCEEDED(hr) && driverText != nullptr) {
    const int units = lstrlenW(driverText);
    copy.Reset(SysAllocStringLen(driverText, static_cast<UINT>(units)));
    if (copy) {
      *length = units;
    } else {
      *status = kTwrcFailure;
      result = E_OUTOFMEMORY;
    }
  } else {
    *status = kTwrcFailure;
  }
  // A failing unlock hands nothing out.
  HRESULT unlocked = transaction.Unlock();
  if (FAILED(unlocked)) {
    *status = kTwrcFailure;
    return unlocked;
  }
  *text = copy.Detach();
  return result;
}
