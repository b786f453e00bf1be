#include "bridge/bridge.h"

#include "com/bstr.h"
#include "com/trace.h"
#include "com/wide_string.h"

LONG volatile CStiScannerComBridge::selectionCount = 0;

CStiScannerComBridge::CStiScannerComBridge() : CUnknown(nullptr) {}

CStiScannerComBridge::~CStiScannerComBridge()
{
  TracePoint("CStiScannerComBridge", "Destroy self.");
  // GlobalFree tolerates null; after Close these are already empty.
  GlobalFree(profileName);
  GlobalFree(profileQualifier);
  GlobalFree(storeId);
  profileName = profileQualifier = storeId = nullptr;
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
