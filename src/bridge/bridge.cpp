#include "bridge/bridge.h"

#include "com/bstr.h"
#include "com/trace.h"
#include "com/wide_string.h"

LONG volatile CStiScannerComBridge::selectionCount = 0;

CStiScannerComBridge::CStiScannerComBridge() : CUnknown(nullptr) {}

CStiScannerComBridge::~CStiScannerComBridge()
{
  TracePoint("CStiScannerComBridge", "Destroy self.");
  // An object that ends without Close (a client that forgot it, or one that
  // died and whose references went with it) would otherwise keep its STI
  // objects, the driver's blocks, the device list and the registry key for
  // as long as the server runs. It hands them back the way Close does,
  // through Close itself, while the driver is still there to take them;
  // after a Close there is nothing left and nothing is sent.
  IStiScannerComBridge* self = this;
  self->Close();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::NondelegatingQueryInterface(REFIID iid,
                                                                            void** object)
{
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IStiScannerComBridge)) {
    IStiScannerComBridge* bridge = this;
    *object = bridge;
    bridge->AddRef();
    return S_OK;
  }
  if (IsEqualIID(iid, IID_IMarshal))
    TracePoint("CStiScannerComBridge", "The COM Library asked for IMarshal.");
  return CUnknown::NondelegatingQueryInterface(iid, object);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::Reserved1()
{
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::Reserved2()
{
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetServerFileName(BSTR* name)
{
  if (name == nullptr) return E_POINTER;
  WCHAR modulePath[kStringUnits] = {};
  if (GetModuleFileNameW(nullptr, modulePath, kStringUnits) == 0) return E_FAIL;

  // Four characters of the file name, from its second one on.
  const WCHAR* fileName = PathFindFileNameW(modulePath);
  WCHAR tag[kStringUnits] = {};
  if (fileName != nullptr && fileName[0] != 0) WStrCopyPrefix(tag, kStringUnits, fileName + 1, 4);
  ReplaceBstr(name, SysAllocString(tag));
  return S_OK;
}
