// A temporary file as a stream (IStream) for the imaging component's
// encoders, which write a document frame by frame and seek back to fill in
// what they could not know before: the document grows on the disk page by
// page instead of in memory.
#pragma once

#include <objidl.h>
#include <windows.h>

#include "files/folder.h"

namespace stiscan {

class FileStream final : public IStream {
 public:
  // Over `file` (kept open by its owner while the stream lives), which may
  // not grow past `limit` bytes: a write beyond it fails, as a document
  // whose offsets cannot reach further must not be written past them.
  static FileStream* Make(OpenFile& file, unsigned long long limit);

  // The system's code of the first write, read or seek that failed
  // (ERROR_DISK_FULL for a full disk), which an encoder reports only as its
  // own failure, or not at all; 0 when none did.
  DWORD Error() const { return error_; }
  // Whether a write was refused for passing the limit.
  bool PassedLimit() const { return passedLimit_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* into, ULONG bytes, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* from, ULONG bytes, ULONG* written) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override;

 private:
  FileStream(OpenFile& file, unsigned long long limit) : file_(file), limit_(limit) {}
  HRESULT Failed(DWORD error);

  volatile LONG references_ = 1;
  OpenFile& file_;
  unsigned long long limit_;
  DWORD error_ = 0;
  bool passedLimit_ = false;
};

}  // namespace stiscan
