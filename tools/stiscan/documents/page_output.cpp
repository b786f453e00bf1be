#include "documents/page_output.h"

namespace stiscan {

namespace {

constexpr DWORD kDriverBmp = 5, kDriverTiff = 1;

std::wstring ExtensionOf(const std::string& format)
{
  if (format == "pdf") return L".pdf";
  if (format == "tiff") return L".tif";
  if (format == "png") return L".png";
  if (format == "jpeg") return L".jpg";
  return L".bmp";
}

}  // namespace

double Seconds()
{
  static const double perSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / perSecond;
}

// One file of the writer's: what to write, and how it went.
struct FileWriter::Work {
  PageFolder& folder;
  std::wstring name, extension;
  int page = 0;
  std::vector<unsigned char> bytes;
  Written file;
  FileFailure failure;
  bool ok = false;
  double seconds = 0;
};

DWORD WINAPI FileWriter::Run(void* context)
{
  Work& work = *static_cast<Work*>(context);
  const double started = stiscan::Seconds();
  work.ok = work.folder.Write(work.name, work.page, work.extension, work.bytes, work.file.shown,
                              work.file.path, work.failure);
  work.file.bytes = static_cast<long long>(work.bytes.size());
  work.file.page = work.page;
  work.seconds = stiscan::Seconds() - started;
  return 0;
}

FileWriter::FileWriter(PageFolder& folder) : folder_(folder) {}

FileWriter::~FileWriter()
{
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
}

void FileWriter::Start(const std::wstring& name, int page, const std::wstring& extension,
                       std::vector<unsigned char>&& bytes)
{
  work_.reset(new Work{folder_, name, extension, page, std::move(bytes), {}, {}, false, 0});
  thread_ = CreateThread(nullptr, 0, &FileWriter::Run, work_.get(), 0, nullptr);
  if (thread_ == nullptr) Run(work_.get());
}

bool FileWriter::Collect(std::vector<Written>& written, OutputFailure& failure,
                         std::vector<unsigned char>& spare)
{
  if (!work_) return true;
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  const std::unique_ptr<Work> work = std::move(work_);
  seconds_ += work->seconds;
  spare = std::move(work->bytes);
  if (!work->ok) {
    failure = {work->failure.what, HRESULT_FROM_WIN32(work->failure.error), true, work->page};
    return false;
  }
  written.push_back(work->file);
  return true;
}

PageOutput::PageOutput(const Options& options, PageFolder& folder)
    : options_(options), writer_(folder)
{
}

DWORD PageOutput::DriverFormat() const
{
  return options_.format == "tiff" ? kDriverTiff : kDriverBmp;
}

bool PageOutput::KeepsDriverFile() const
{
  return options_.transfer == "file" && (options_.format == "bmp" || options_.format == "tiff");
}

bool PageOutput::Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out)
{
  if (!ok) out = {"the page could not be encoded: " + failure.what, failure.hr, false};
  return ok;
}

bool PageOutput::Collect(std::vector<Written>& written, OutputFailure& failure)
{
  const double started = Seconds();
  std::vector<unsigned char> bytes;
  const bool ok = writer_.Collect(written, failure, bytes);
  waitSeconds_ += Seconds() - started;
  Keep(std::move(bytes));
  return ok;
}

// The file before is collected first: one file at most is in hand.
bool PageOutput::Write(const std::wstring& name, int page, const std::wstring& extension,
                       std::vector<unsigned char>&& bytes, std::vector<Written>& written,
                       OutputFailure& failure)
{
  if (!Collect(written, failure)) return false;
  writer_.Start(name, page, extension, std::move(bytes));
  return true;
}

bool PageOutput::Page(const std::wstring& name, int page, Raster& raster,
                      std::vector<Written>& written, OutputFailure& failure)
{
  const std::string& format = options_.format;
  if (format == "bmp") {
    // A page that came as a BMP file is written as it is.
    std::vector<unsigned char> made;
    const double started = Seconds();
    BmpBytes(raster, made);
    encodeSeconds_ += Seconds() - started;
    ++encodedPages_;
    return Write(name, page, L".bmp", std::move(raster.isBmp ? raster.bytes : made), written,
                 failure);
  }
  const double started = Seconds();
  EncodeFailure encodeFailure;
  bool ok = true;
  std::vector<unsigned char> file;
  if (format == "pdf") {
    PdfImage image;
    if (options_.jpegQuality > 0 && PixelsOf(raster) != Pixels::kBlackWhite) {
      ok = encoder_.Begin(Container::kJpeg, options_.jpegQuality, encodeFailure) &&
           encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
      if (ok) image = DctImage(raster, std::move(file));
    } else if (!FlateImage(raster, image)) {
      encodeFailure = {"zlib failed", E_FAIL};
      ok = false;
    }
    if (ok) pdfPages_.push_back(std::move(image));
  } else if (format == "tiff") {
    // One TIFF per job, a frame per page.
    if (!tiffOpen_) ok = tiffOpen_ = encoder_.Begin(Container::kTiff, 0, encodeFailure);
    ok = ok && encoder_.Add(raster, encodeFailure);
  } else {
    const Container container = format == "png" ? Container::kPng : Container::kJpeg;
    ok = encoder_.Begin(container, options_.jpegQuality, encodeFailure) &&
         encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
  }
  encodeSeconds_ += Seconds() - started;
  ++encodedPages_;
  if (!Encoded(ok, encodeFailure, failure)) return false;
  if (format == "pdf" || format == "tiff") return true;
  return Write(name, page, ExtensionOf(format), std::move(file), written, failure);
}

bool PageOutput::DriverFile(const std::wstring& name, int page, std::vector<unsigned char>&& file,
                            std::vector<Written>& written, OutputFailure& failure)
{
  return Write(name, page, ExtensionOf(options_.format), std::move(file), written, failure);
}

bool PageOutput::EndJob(const std::wstring& name, std::vector<Written>& written,
                        OutputFailure& failure)
{
  if (!Collect(written, failure)) return false;
  std::vector<unsigned char> file;
  const double started = Seconds();
  if (options_.format == "pdf") {
    file = PdfFile(pdfPages_);
    pdfPages_.clear();
  } else if (options_.format == "tiff" && tiffOpen_) {
    tiffOpen_ = false;
    EncodeFailure encodeFailure;
    if (!Encoded(encoder_.Finish(file, encodeFailure), encodeFailure, failure)) return false;
  } else {
    return true;
  }
  encodeSeconds_ += Seconds() - started;
  return Write(name, 0, ExtensionOf(options_.format), std::move(file), written, failure) &&
         Collect(written, failure);
}

void PageOutput::DropJob(std::vector<Written>& written)
{
  OutputFailure failed;
  Collect(written, failed);
  pdfPages_.clear();
  encoder_.Discard();
  tiffOpen_ = false;
}

}  // namespace stiscan
