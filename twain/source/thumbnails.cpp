#include "source/thumbnails.h"

#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <deque>
#include <utility>

namespace twainds {

namespace {

// Pictures past this are no thumbnail: a file that names itself so large
// gets the placeholder rather than the memory it asks for.
constexpr UINT kLargestSide = 8192;
constexpr unsigned long long kLargestArea = 16ull << 20;

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using Held = std::unique_ptr<T, Releaser>;

// For each target pixel along one axis, the source pixels it covers and by
// how much: source pixel i spans [i * target, (i + 1) * target) and target
// pixel d spans [d * source, (d + 1) * source), so every share is a whole
// number and the shares of one target pixel add up to `source`.
struct Share {
  long from;
  std::vector<unsigned long long> weights;
};
std::vector<Share> Shares(long source, long target)
{
  std::vector<Share> shares(static_cast<size_t>(target));
  for (long d = 0; d < target; ++d) {
    const long long begin = static_cast<long long>(d) * source;
    const long long end = begin + source;
    Share& share = shares[static_cast<size_t>(d)];
    share.from = static_cast<long>(begin / target);
    for (long i = share.from; i < source && static_cast<long long>(i) * target < end; ++i) {
      const long long low = std::max<long long>(begin, static_cast<long long>(i) * target);
      const long long high = std::min<long long>(end, static_cast<long long>(i + 1) * target);
      share.weights.push_back(static_cast<unsigned long long>(high - low));
    }
  }
  return shares;
}

// The picture of the file at `path` in a tile, or false.
bool Decode(IWICImagingFactory* factory, const std::wstring& path, std::vector<unsigned char>& tile)
{
  if (path.empty()) return false;
  // No decoder named: WIC picks the one the file's content calls for (the
  // file's ".tmb" names none).
  IWICBitmapDecoder* rawDecoder = nullptr;
  if (FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, &rawDecoder)))
    return false;
  Held<IWICBitmapDecoder> decoder(rawDecoder);
  IWICBitmapFrameDecode* rawFrame = nullptr;
  if (FAILED(decoder->GetFrame(0, &rawFrame))) return false;
  Held<IWICBitmapFrameDecode> frame(rawFrame);
  IWICFormatConverter* rawConverter = nullptr;
  if (FAILED(factory->CreateFormatConverter(&rawConverter))) return false;
  Held<IWICFormatConverter> converter(rawConverter);
  if (FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGR,
                                   WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom)))
    return false;
  UINT width = 0, height = 0;
  if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0 ||
      width > kLargestSide || height > kLargestSide ||
      static_cast<unsigned long long>(width) * height > kLargestArea)
    return false;
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
  if (FAILED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size()),
                                   pixels.data())))
    return false;
  long fitWidth = 0, fitHeight = 0;
  TileFit(width, height, fitWidth, fitHeight);
  const std::vector<unsigned char> scaled = ScaledPixels(
      pixels.data(), static_cast<long>(width), static_cast<long>(height), fitWidth, fitHeight);
  const COLORREF background = GetSysColor(COLOR_WINDOW);
  tile.assign(static_cast<size_t>(kTileSide) * kTileSide * 4, 0);
  for (size_t at = 0; at < tile.size(); at += 4) {
    tile[at] = GetBValue(background);
    tile[at + 1] = GetGValue(background);
    tile[at + 2] = GetRValue(background);
    tile[at + 3] = 255;
  }
  const long left = (kTileSide - fitWidth) / 2, top = (kTileSide - fitHeight) / 2;
  for (long y = 0; y < fitHeight; ++y)
    for (long x = 0; x < fitWidth; ++x) {
      const unsigned char* from = &scaled[static_cast<size_t>(y * fitWidth + x) * 4];
      unsigned char* to = &tile[static_cast<size_t>((top + y) * kTileSide + left + x) * 4];
      to[0] = from[0];
      to[1] = from[1];
      to[2] = from[2];
    }
  return true;
}

}  // namespace

void TileFit(long width, long height, long& fitWidth, long& fitHeight)
{
  fitWidth = fitHeight = 0;
  if (width <= 0 || height <= 0) return;
  if (width >= height) {
    fitWidth = kTileSide;
    fitHeight = std::max(
        1L, static_cast<long>((static_cast<long long>(height) * kTileSide + width / 2) / width));
  } else {
    fitHeight = kTileSide;
    fitWidth = std::max(
        1L, static_cast<long>((static_cast<long long>(width) * kTileSide + height / 2) / height));
  }
}

std::vector<unsigned char> ScaledPixels(const unsigned char* source, long sourceWidth,
                                        long sourceHeight, long width, long height)
{
  std::vector<unsigned char> scaled(static_cast<size_t>(width) * height * 4, 0);
  if (source == nullptr || sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0)
    return scaled;
  const std::vector<Share> columns = Shares(sourceWidth, width);
  const std::vector<Share> rows = Shares(sourceHeight, height);
  const unsigned long long area =
      static_cast<unsigned long long>(sourceWidth) * static_cast<unsigned long long>(sourceHeight);
  for (long y = 0; y < height; ++y) {
    const Share& row = rows[static_cast<size_t>(y)];
    for (long x = 0; x < width; ++x) {
      const Share& column = columns[static_cast<size_t>(x)];
      unsigned long long sums[3] = {};
      for (size_t j = 0; j < row.weights.size(); ++j) {
        const unsigned char* line =
            source + static_cast<size_t>(row.from + static_cast<long>(j)) * sourceWidth * 4;
        for (size_t i = 0; i < column.weights.size(); ++i) {
          const unsigned long long weight = row.weights[j] * column.weights[i];
          const unsigned char* pixel = line + (static_cast<size_t>(column.from) + i) * 4;
          for (int c = 0; c < 3; ++c) sums[c] += weight * pixel[c];
        }
      }
      unsigned char* to = &scaled[static_cast<size_t>(y * width + x) * 4];
      for (int c = 0; c < 3; ++c) to[c] = static_cast<unsigned char>((sums[c] + area / 2) / area);
    }
  }
  return scaled;
}

// What the window and the thread share; the thread holds it for as long as
// it runs, which may be past the window's end (a file that takes long).
struct Thumbnails::Shared {
  Shared(HWND window, UINT message) : window(window), message(message)
  {
    InitializeCriticalSection(&lock);
    wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  ~Shared()
  {
    if (wake != nullptr) CloseHandle(wake);
    DeleteCriticalSection(&lock);
  }
  CRITICAL_SECTION lock;
  HANDLE wake = nullptr;
  HWND window;
  UINT message;
  bool stopping = false;
  std::deque<std::pair<std::wstring, std::wstring>> queue;
  std::vector<Thumbnail> done;
};

namespace {

struct Start {
  std::shared_ptr<Thumbnails::Shared> shared;
  HMODULE module;
};

void Work(Thumbnails::Shared& shared)
{
  // WIC wants COM on the thread; the thread is the source's own.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IWICImagingFactory* rawFactory = nullptr;
  if (SUCCEEDED(com))
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                     reinterpret_cast<void**>(&rawFactory));
  Held<IWICImagingFactory> factory(rawFactory);
  for (;;) {
    std::pair<std::wstring, std::wstring> request;
    bool have = false;
    EnterCriticalSection(&shared.lock);
    const bool stopping = shared.stopping;
    if (!stopping && !shared.queue.empty()) {
      request = std::move(shared.queue.front());
      shared.queue.pop_front();
      have = true;
    }
    LeaveCriticalSection(&shared.lock);
    if (stopping) break;
    if (!have) {
      WaitForSingleObject(shared.wake, INFINITE);
      continue;
    }
    Thumbnail thumbnail;
    thumbnail.key = std::move(request.first);
    if (factory == nullptr || !Decode(factory.get(), request.second, thumbnail.pixels))
      thumbnail.pixels.clear();
    EnterCriticalSection(&shared.lock);
    const HWND window = shared.stopping ? nullptr : shared.window;
    shared.done.push_back(std::move(thumbnail));
    LeaveCriticalSection(&shared.lock);
    if (window != nullptr) PostMessageW(window, shared.message, 0, 0);
  }
  factory.reset();
  if (SUCCEEDED(com)) CoUninitialize();
}

DWORD WINAPI Thread(void* parameter)
{
  auto* start = static_cast<Start*>(parameter);
  const HMODULE module = start->module;
  try {
    Work(*start->shared);
  } catch (...) {
    // Out of memory: no more pictures; the tiles keep the placeholder.
  }
  delete start;
  // The module stays loaded until this thread is out of it.
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

Thumbnails::Thumbnails(HWND window, UINT message)
    : shared_(std::make_shared<Shared>(window, message))
{
  HMODULE module = nullptr;
  if (shared_->wake == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                      reinterpret_cast<LPCWSTR>(&Thread), &module))
    return;
  auto* start = new Start{shared_, module};
  thread_ = CreateThread(nullptr, 0, Thread, start, 0, nullptr);
  if (thread_ == nullptr) {
    delete start;
    FreeLibrary(module);
  }
}

Thumbnails::~Thumbnails()
{
  EnterCriticalSection(&shared_->lock);
  shared_->stopping = true;
  shared_->queue.clear();
  LeaveCriticalSection(&shared_->lock);
  if (thread_ == nullptr) return;
  SetEvent(shared_->wake);
  // A file that takes long to read is left to its thread, which ends
  // after it without a word to the window.
  WaitForSingleObject(thread_, 2000);
  CloseHandle(thread_);
}

void Thumbnails::Request(const std::wstring& key, const std::wstring& path)
{
  EnterCriticalSection(&shared_->lock);
  if (thread_ != nullptr) {
    shared_->queue.emplace_back(key, path);
  } else {
    // No thread: the tile keeps its placeholder.
    shared_->done.push_back(Thumbnail{key, {}});
    PostMessageW(shared_->window, shared_->message, 0, 0);
  }
  LeaveCriticalSection(&shared_->lock);
  if (thread_ != nullptr) SetEvent(shared_->wake);
}

std::vector<Thumbnail> Thumbnails::Take()
{
  EnterCriticalSection(&shared_->lock);
  std::vector<Thumbnail> done = std::move(shared_->done);
  shared_->done.clear();
  LeaveCriticalSection(&shared_->lock);
  return done;
}

}  // namespace twainds
