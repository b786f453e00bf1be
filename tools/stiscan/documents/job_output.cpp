#include "documents/job_output.h"

#include "console/messages.h"
#include "documents/document_limits.h"

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

// One file or document part of the writer's: what to write, and how it went.
struct FileWriter::Work {
  explicit Work(const Folder& in) : folder(in) {}
  const Folder& folder;
  OpenFile* document = nullptr;  // a document's part; else a file of its own
  std::wstring name, extension;
  int page = 0;
  std::string before, after;
  std::vector<unsigned char> bytes;
  TemporaryFile file;
  FileFailure failure;
  bool ok = false;
  double seconds = 0;
};

DWORD WINAPI FileWriter::Run(void* context)
{
  Work& work = *static_cast<Work*>(context);
  const double started = stiscan::Seconds();
  const auto text = [](const std::string& s) {
    return std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(s.data()),
                                          s.size());
  };
  if (work.document != nullptr)
    work.ok = work.document->Append(text(work.before), work.failure) &&
              work.document->Append(work.bytes, work.failure) &&
              work.document->Append(text(work.after), work.failure);
  else
    work.ok = work.folder.WriteTemporary(work.name, work.page, work.extension, work.bytes,
                                         work.file, work.failure);
  work.seconds = stiscan::Seconds() - started;
  return 0;
}

FileWriter::FileWriter(const Folder& folder) : folder_(folder) {}

FileWriter::~FileWriter()
{
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
}

void FileWriter::Begin(std::unique_ptr<Work> work)
{
  work_ = std::move(work);
  thread_ = CreateThread(nullptr, 0, &FileWriter::Run, work_.get(), 0, nullptr);
  if (thread_ == nullptr) Run(work_.get());
}

void FileWriter::Start(const std::wstring& name, int page, const std::wstring& extension,
                       std::vector<unsigned char>&& bytes)
{
  auto work = std::make_unique<Work>(folder_);
  work->name = name;
  work->extension = extension;
  work->page = page;
  work->bytes = std::move(bytes);
  Begin(std::move(work));
}

void FileWriter::Append(OpenFile& document, int page, std::string&& before,
                        std::vector<unsigned char>&& bytes, std::string&& after)
{
  auto work = std::make_unique<Work>(folder_);
  work->document = &document;
  work->page = page;
  work->before = std::move(before);
  work->bytes = std::move(bytes);
  work->after = std::move(after);
  Begin(std::move(work));
}

bool FileWriter::Collect(std::vector<TemporaryFile>& written, OutputFailure& failure,
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
  if (work->document == nullptr) written.push_back(work->file);
  return true;
}

JobOutput::JobOutput(const Options& options, const Folder& folder)
    : options_(options), folder_(folder), writer_(folder)
{
}

JobOutput::~JobOutput()
{
  Drop();
}

DWORD JobOutput::DriverFormat() const
{
  return options_.format == "tiff" ? kDriverTiff : kDriverBmp;
}

bool JobOutput::KeepsDriverFile() const
{
  return options_.transfer == "file" && (options_.format == "bmp" || options_.format == "tiff");
}

bool JobOutput::Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out)
{
  // A document's file that a write failed in fails its job, whatever the
  // encoder says: an encoder may go on past a failed write (Wine's TIFF
  // encoder does, and finishes a file with pages cut short). The file's
  // failure is said in the system's words (a full disk).
  const bool fileFailed = stream_ != nullptr && (stream_->PassedLimit() || stream_->Error() != 0);
  if (ok && !fileFailed) return true;
  if (stream_ != nullptr && stream_->PassedLimit())
    out = {"the TIFF file would pass the " + std::to_string((kMostTiffBytes + 1) >> 20) +
               " MB a TIFF file can hold",
           HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), true};
  else if (stream_ != nullptr && stream_->Error() != 0)
    out = {"the file " + Quoted(document_.Shown()) + " could not be written",
           HRESULT_FROM_WIN32(stream_->Error()), true};
  else
    out = {"the page could not be encoded: " + failure.what, failure.hr, false};
  return false;
}

bool JobOutput::Collect(OutputFailure& failure)
{
  const double started = Seconds();
  std::vector<unsigned char> bytes;
  const bool ok = writer_.Collect(files_, failure, bytes);
  waitSeconds_ += Seconds() - started;
  Keep(std::move(bytes));
  return ok;
}

// The file before is collected first: one file at most is in hand.
bool JobOutput::Write(int page, const std::wstring& extension, std::vector<unsigned char>&& bytes,
                      OutputFailure& failure)
{
  if (!Collect(failure)) return false;
  writer_.Start(name_, page, extension, std::move(bytes));
  return true;
}

void JobOutput::DropStream()
{
  encoder_.Discard();
  if (stream_ != nullptr) stream_->Release();
  stream_ = nullptr;
}

bool JobOutput::Begin(const std::wstring& name, int pages, uint64_t pageBytes,
                      OutputFailure& failure)
{
  Drop();
  name_ = name;
  const std::string why = WhyJobDoesNotFit(options_.format, KeepsDriverFile(),
                                           static_cast<uint64_t>(pages > 0 ? pages : 0), pageBytes);
  if (!why.empty()) {
    failure = {"refused before its first page: " + why, S_OK, false};
    return false;
  }
  if (KeepsDriverFile() || (options_.format != "pdf" && options_.format != "tiff")) return true;
  FileFailure fileFailure;
  if (!folder_.Create(name_, 0, ExtensionOf(options_.format), document_, fileFailure)) {
    failure = {fileFailure.what, HRESULT_FROM_WIN32(fileFailure.error), true};
    return false;
  }
  if (options_.format == "pdf") {
    std::string header = pdf_.Begin(static_cast<size_t>(pages));
    writer_.Append(document_, 0, std::move(header), {}, {});
    return true;
  }
  // A TIFF's frames go into its file as they are encoded; its offsets count
  // 32 bits, so the file may not grow past them.
  stream_ = FileStream::Make(document_, kMostTiffBytes);
  EncodeFailure encodeFailure;
  return Encoded(encoder_.Begin(Container::kTiff, 0, encodeFailure, stream_), encodeFailure,
                 failure);
}

bool JobOutput::PageFits(uint64_t pageBytes, OutputFailure& failure) const
{
  LARGE_INTEGER written = {};
  if (stream_ != nullptr && !GetFileSizeEx(document_.Handle(), &written)) written.QuadPart = 0;
  const std::string why = WhyPageDoesNotFit(options_.format, KeepsDriverFile(),
                                            static_cast<uint64_t>(written.QuadPart), pageBytes);
  if (why.empty()) return true;
  failure = {"refused: " + why, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), false};
  return false;
}

bool JobOutput::Page(int page, Raster& raster, OutputFailure& failure)
{
  const std::string& format = options_.format;
  if (format == "bmp") {
    // A page that came as a BMP file is written as it is.
    std::vector<unsigned char> made;
    const double started = Seconds();
    BmpBytes(raster, made);
    encodeSeconds_ += Seconds() - started;
    ++encodedPages_;
    return Write(page, L".bmp", std::move(raster.isBmp ? raster.bytes : made), failure);
  }
  const double started = Seconds();
  EncodeFailure encodeFailure;
  bool ok = true;
  std::vector<unsigned char> file;
  PdfImage image;
  if (format == "pdf") {
    if (options_.jpegQuality > 0 && PixelsOf(raster) != Pixels::kBlackWhite) {
      ok = encoder_.Begin(Container::kJpeg, options_.jpegQuality, encodeFailure) &&
           encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
      if (ok) image = DctImage(raster, std::move(file));
    } else if (!FlateImage(raster, image)) {
      encodeFailure = {"zlib failed", E_FAIL};
      ok = false;
    }
  } else if (format == "tiff") {
    ok = encoder_.Add(raster, encodeFailure);
  } else {
    const Container container = format == "png" ? Container::kPng : Container::kJpeg;
    ok = encoder_.Begin(container, options_.jpegQuality, encodeFailure) &&
         encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
  }
  encodeSeconds_ += Seconds() - started;
  ++encodedPages_;
  if (!Encoded(ok, encodeFailure, failure)) return false;
  if (format == "tiff") {
    ++documentPages_;
    return true;
  }
  if (format != "pdf") return Write(page, ExtensionOf(format), std::move(file), failure);
  // The page's part of the document: its objects around its image's data.
  if (!Collect(failure)) return false;
  std::string before, after;
  if (!pdf_.Page(image, before, after)) {
    failure = {"the PDF would pass the " + std::to_string(kMostPdfBytes) +
                   " bytes its cross-reference table reaches, or has more pages than the job",
               HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), false};
    return false;
  }
  writer_.Append(document_, page, std::move(before), std::move(image.data), std::move(after));
  ++documentPages_;
  return true;
}

bool JobOutput::DriverFile(int page, std::vector<unsigned char>&& file, OutputFailure& failure)
{
  return Write(page, ExtensionOf(options_.format), std::move(file), failure);
}

bool JobOutput::End(std::vector<TemporaryFile>& files, OutputFailure& failure)
{
  if (!Collect(failure)) return false;
  const double started = Seconds();
  if (options_.format == "pdf" && document_.IsOpen()) {
    std::string end;
    if (!pdf_.End(end)) {
      failure = {"the document has fewer pages than the job", E_FAIL, false};
      return false;
    }
    writer_.Append(document_, 0, std::move(end), {}, {});
    if (!Collect(failure)) return false;
  } else if (options_.format == "tiff" && stream_ != nullptr) {
    EncodeFailure encodeFailure;
    const bool ok = encoder_.Commit(encodeFailure);
    if (!Encoded(ok, encodeFailure, failure)) return false;
    DropStream();
  }
  encodeSeconds_ += Seconds() - started;
  if (document_.IsOpen()) {
    TemporaryFile document;
    FileFailure fileFailure;
    if (!document_.Finish(document, fileFailure)) {
      failure = {fileFailure.what, HRESULT_FROM_WIN32(fileFailure.error), true};
      return false;
    }
    files_.push_back(document);
    documentPages_ = 0;
  }
  files = std::move(files_);
  files_.clear();
  return true;
}

size_t JobOutput::Drop(std::vector<FileFailure>* notRemoved)
{
  OutputFailure failed;
  Collect(failed);
  DropStream();
  // A document counts as written once a page is in it.
  size_t removed = document_.IsOpen() && documentPages_ > 0 ? 1 : 0;
  document_.Discard();
  documentPages_ = 0;
  for (const TemporaryFile& file : files_) {
    FileFailure failure;
    if (Folder::Remove(file.path, failure))
      ++removed;
    else if (notRemoved != nullptr)
      notRemoved->push_back(failure);
  }
  files_.clear();
  return removed;
}

}  // namespace stiscan
