// Image data reads: the client's transfer request goes to the driver with
// escape ItemTransfer, and the driver's answer becomes a TWAIN return code in
// the client's status word.
#include "bridge/bridge.h"
#include "bridge/escape.h"

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;

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

  request->page = static_cast<DWORD>(pageInItem);
  // The size word carries the buffer's size in; what it holds afterwards is
  // not used.
  HRESULT hr =
      transaction.Escape(driver::EscapeCode::ItemTransfer, request, sizeof(driver::RequestBlock),
                         buffer, static_cast<DWORD>(bufferSize), static_cast<DWORD>(bufferSize));
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
