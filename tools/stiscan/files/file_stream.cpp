#include "files/file_stream.h"

namespace stiscan {

FileStream* FileStream::Make(OpenFile& file, unsigned long long limit)
{
  return new FileStream(file, limit);
}

HRESULT FileStream::Failed(DWORD error)
{
  if (error == 0) error = ERROR_WRITE_FAULT;
  if (error_ == 0) error_ = error;
  return HRESULT_FROM_WIN32(error);
}

HRESULT FileStream::QueryInterface(REFIID iid, void** out)
{
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) ||
      IsEqualIID(iid, IID_IStream)) {
    *out = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG FileStream::AddRef()
{
  return static_cast<ULONG>(InterlockedIncrement(&references_));
}

ULONG FileStream::Release()
{
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT FileStream::Read(void* into, ULONG bytes, ULONG* read)
{
  DWORD got = 0;
  if (!ReadFile(file_.Handle(), into, bytes, &got, nullptr)) return Failed(GetLastError());
  if (read != nullptr) *read = got;
  return got < bytes ? S_FALSE : S_OK;
}

HRESULT FileStream::Write(const void* from, ULONG bytes, ULONG* written)
{
  if (written != nullptr) *written = 0;
  LARGE_INTEGER at = {};
  const LARGE_INTEGER none = {};
  if (!SetFilePointerEx(file_.Handle(), none, &at, FILE_CURRENT)) return Failed(GetLastError());
  if (static_cast<unsigned long long>(at.QuadPart) + bytes > limit_) {
    passedLimit_ = true;
    return Failed(ERROR_FILE_TOO_LARGE);
  }
  // A write that took part of the bytes (a disk filling up) is followed by
  // one for the rest, whose failure says why.
  const unsigned char* next = static_cast<const unsigned char*>(from);
  for (ULONG left = bytes; left > 0;) {
    DWORD put = 0;
    if (!WriteFile(file_.Handle(), next, left, &put, nullptr) || put == 0)
      return Failed(GetLastError());
    next += put;
    left -= put;
    if (written != nullptr) *written += put;
  }
  return S_OK;
}

HRESULT FileStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position)
{
  const DWORD method = origin == STREAM_SEEK_SET   ? FILE_BEGIN
                       : origin == STREAM_SEEK_CUR ? FILE_CURRENT
                       : origin == STREAM_SEEK_END ? FILE_END
                                                   : ~DWORD{0};
  if (method == ~DWORD{0}) return STG_E_INVALIDFUNCTION;
  LARGE_INTEGER at = {};
  if (!SetFilePointerEx(file_.Handle(), move, &at, method)) {
    Failed(GetLastError());
    return STG_E_INVALIDPOINTER;
  }
  if (position != nullptr) position->QuadPart = static_cast<ULONGLONG>(at.QuadPart);
  return S_OK;
}

HRESULT FileStream::SetSize(ULARGE_INTEGER size)
{
  if (size.QuadPart > limit_) {
    passedLimit_ = true;
    return Failed(ERROR_FILE_TOO_LARGE);
  }
  LARGE_INTEGER at = {}, end = {};
  const LARGE_INTEGER none = {};
  end.QuadPart = static_cast<LONGLONG>(size.QuadPart);
  if (!SetFilePointerEx(file_.Handle(), none, &at, FILE_CURRENT) ||
      !SetFilePointerEx(file_.Handle(), end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(file_.Handle()) || !SetFilePointerEx(file_.Handle(), at, nullptr, FILE_BEGIN))
    return Failed(GetLastError());
  return S_OK;
}

HRESULT FileStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*)
{
  return E_NOTIMPL;
}

// The file reaches the disk when its owner finishes it (OpenFile::Finish).
HRESULT FileStream::Commit(DWORD)
{
  return S_OK;
}

HRESULT FileStream::Revert()
{
  return E_NOTIMPL;
}

HRESULT FileStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
  return STG_E_INVALIDFUNCTION;
}

HRESULT FileStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
  return STG_E_INVALIDFUNCTION;
}

HRESULT FileStream::Stat(STATSTG* stat, DWORD)
{
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  *stat = {};
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file_.Handle(), &size)) return HRESULT_FROM_WIN32(GetLastError());
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = static_cast<ULONGLONG>(size.QuadPart);
  stat->grfMode = STGM_READWRITE;
  return S_OK;
}

HRESULT FileStream::Clone(IStream**)
{
  return E_NOTIMPL;
}

}  // namespace stiscan
