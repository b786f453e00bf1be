// The stand-in of the source's JPEG writer (source/jpeg_file.cpp, which
// needs WIC) in its fuzz build: the imaging component absent when the fuzz
// input says so, else a file of the rows between a JPEG's start and end
// markers, written through the shim's files as the rows come.
#include <vector>

#include "fuzz/twain_fake/fake_scanner.h"
#include "source/frame.h"
#include "source/page_file.h"

namespace twainds {

namespace {

class StandInJpeg : public PageWriter {
 public:
  StandInJpeg(std::string path, const RowShape& shape) : path_(std::move(path)), shape_(shape) {}
  ~StandInJpeg() override
  {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (!finished_) DeleteFileA(path_.c_str());
  }
  HRESULT Begin()
  {
    file_ = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    return Write("\xFF\xD8", 2);
  }
  HRESULT Rows(const unsigned char* rows, long count) override
  {
    if (count <= 0 || count > shape_.length - done_) return E_INVALIDARG;
    done_ += count;
    return Write(rows, RowBytes(shape_.width, shape_.bits) * static_cast<size_t>(count));
  }
  HRESULT Finish() override
  {
    if (done_ != shape_.length) return E_UNEXPECTED;
    HRESULT hr = Write("\xFF\xD9", 2);
    if (SUCCEEDED(hr) && !CloseHandle(file_)) hr = HRESULT_FROM_WIN32(GetLastError());
    file_ = INVALID_HANDLE_VALUE;
    if (SUCCEEDED(hr)) finished_ = true;
    return hr;
  }

 private:
  HRESULT Write(const void* bytes, size_t size)
  {
    DWORD written = 0;
    if (!WriteFile(file_, bytes, static_cast<DWORD>(size), &written, nullptr))
      return HRESULT_FROM_WIN32(GetLastError());
    return written == size ? S_OK : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
  }

  std::string path_;
  RowShape shape_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  long done_ = 0;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<PageWriter> WriteJpeg(const std::string& path, const RowShape& shape, HRESULT& hr)
{
  if (twainfake::Fake().imagingFails) {
    hr = REGDB_E_CLASSNOTREG;
    return nullptr;
  }
  auto writer = std::make_unique<StandInJpeg>(path, shape);
  hr = writer->Begin();
  if (FAILED(hr)) return nullptr;
  return writer;
}

}  // namespace twainds
