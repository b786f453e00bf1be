// Methods whose behaviour has not been built yet answer E_NOTIMPL; each one
// moves to the file of its topic when it is built.
#include "bridge/bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetPagesRemaining(int)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::AdvancePage(int, int*, int)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageInfo(TW_IMAGEINFO*, int)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::PrepareTransfer(int, int, int, int, int, int, int,
                                                                int, int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetSelection(int*, int)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectItemByName(int, int*, LPWSTR, int)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SendScanSettings()
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetScanSettings(short*, short*, short*, short*,
                                                                short*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetScanSettings(LPWSTR, short, short, short, short,
                                                                short, short)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemFormat(short*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageByteCount(int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCapabilityFlag(int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReleaseScanSettings()
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemName(BSTR*, int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReadItemString(STI_TRANSFER_REQUEST*, LPWSTR*, int*,
                                                               int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::QueryTransferSize(STI_TRANSFER_REQUEST*, int*, int*)
{
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReadImageHeader(STI_TRANSFER_REQUEST*, BYTE*, int,
                                                                int*)
{
  return E_NOTIMPL;
}
