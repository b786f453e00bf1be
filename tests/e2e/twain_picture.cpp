// The source's own window as a picture (scripts/screenshots): the window
// opened over the scanner the registry names, left until the jobs'
// previews are shown, then copied off the screen and written as a PNG.
#include <windows.h>
#include <commctrl.h>
#include <wincodec.h>

#include <cstdio>
#include <string>

#include "twain_client.h"

namespace {

// The screen's pixels under `rect`, as a PNG file at `path`.
HRESULT SavePng(const RECT& rect, const std::wstring& path)
{
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (bitmap == nullptr || !copied) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    return E_FAIL;
  }
  IWICImagingFactory* factory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, nullptr);
  if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height));
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr))
    hr = frame->WritePixels(static_cast<UINT>(height), static_cast<UINT>(width) * 4,
                            static_cast<UINT>(width) * 4 * static_cast<UINT>(height),
                            static_cast<BYTE*>(bits));
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (frame != nullptr) frame->Release();
  if (encoder != nullptr) encoder->Release();
  if (stream != nullptr) stream->Release();
  if (factory != nullptr) factory->Release();
  DeleteObject(bitmap);
  return hr;
}

}  // namespace

void Picture(const std::string& path, DWORD waitMs)
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  TwainApp twain;
  if (!twain.Load() || !twain.OpenManager() || !twain.OpenSource()) {
    Check(false, "twain-picture-source-opened");
    return;
  }
  const TW_UINT16 rc = Enable(twain, true);
  HWND window = nullptr;
  const ULONGLONG until = GetTickCount64() + waitMs;
  // Settled: pictures shown, and no more for a second and a half.
  bool pictured = false;
  int shown = 0;
  ULONGLONG since = GetTickCount64();
  while (rc == TWRC_SUCCESS && GetTickCount64() < until) {
    twain.Await(100);
    if (window == nullptr) window = JobWindow();
    const int now = window != nullptr ? PicturedRows(GetDlgItem(window, kJobList)) : 0;
    if (now != shown) {
      shown = now;
      since = GetTickCount64();
    } else if (shown > 0 && GetTickCount64() - since > 1500) {
      pictured = true;
      break;
    }
  }
  // What is drawn last settles before the copy.
  twain.Await(500);
  RECT rect = {};
  HRESULT saved = E_FAIL;
  if (window != nullptr && GetWindowRect(window, &rect)) {
    const std::wstring wide(path.begin(), path.end());
    saved = SavePng(rect, wide);
  }
  Check(rc == TWRC_SUCCESS && window != nullptr && pictured && SUCCEEDED(saved),
        "twain-picture-saved",
        "rc " + std::to_string(rc) + (window == nullptr ? ", no job window" : "") +
            (pictured ? "" : ", no preview shown") + ", saving 0x" +
            std::to_string(static_cast<unsigned long>(saved)));
  if (SUCCEEDED(saved))
    std::printf("picture %s %ldx%ld\n", path.c_str(), rect.right - rect.left,
                rect.bottom - rect.top);
  if (rc == TWRC_SUCCESS) Disable(twain);
  twain.CloseSource();
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}
