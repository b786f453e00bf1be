// The stored jobs as the scanner lists them, with what the source shows of
// each and whether it may bring the job over.
#include "scanner/connection.h"

#include <map>

#include "stibridge.h"

namespace twainds {

namespace {

// The dots per inch of the scanner's resolution codes; 0 for a code the
// scanner does not document.
int DotsPerInch(int code)
{
  static const int table[] = {100, 200, 300, 400, 600, 150, 72};
  return code >= 0 && code < 7 ? table[code] : 0;
}

}  // namespace

HRESULT Connection::ListJobs(std::vector<Job>& jobs)
{
  jobs.clear();
  int count = 0;
  HRESULT hr = StartListing(count);
  for (int index = 0; SUCCEEDED(hr) && index < count && !gone_; ++index) {
    Job job;
    if (ReadJob(index, job) == S_OK) jobs.push_back(job);
  }
  if (FAILED(hr)) return hr;
  return EndListing(jobs);
}

HRESULT Connection::StartListing(int& count)
{
  count = 0;
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Seen(bridge_->RefreshItemList(&count));
}

HRESULT Connection::ReadJob(int index, Job& job)
{
  job = Job();
  if (bridge_ == nullptr || gone_) return E_FAIL;
  job.index = index;
  // The interface names a job only as the current one of a selection.
  int selected = index, page = 0;
  BSTR name = nullptr;
  HRESULT hr = Seen(bridge_->SetSelection(&selected, 1));
  if (SUCCEEDED(hr)) hr = Seen(bridge_->GetCurrentItemName(&name, &page));
  if (SUCCEEDED(hr) && name != nullptr) job.name.assign(name, SysStringLen(name));
  SysFreeString(name);
  // A job without a name cannot be asked for.
  if (FAILED(hr) || job.name.empty()) return gone_ ? RPC_E_DISCONNECTED : S_FALSE;

  int flag = 0;
  Seen(bridge_->GetItemFlag(index, &flag));
  job.ready = flag != 0;
  BSTR document = nullptr;
  int pixelType = -1, code = -1, pages = 0, size = 0;
  if (SUCCEEDED(Seen(
          bridge_->GetItemInfo(index, &document, nullptr, &pixelType, &code, &pages, &size)))) {
    if (document != nullptr) job.document.assign(document, SysStringLen(document));
    job.pixelType = pixelType;
    job.dpi = DotsPerInch(code);
    job.pages = pages;
  }
  SysFreeString(document);
  SYSTEMTIME time = {};
  if (Seen(bridge_->GetItemTime(index, &time)) == S_OK && time.wYear != 0) {
    job.time = time;
    job.timed = true;
  }
  // The owner check: S_FALSE for a job of somebody else's. A failure
  // after the check (a thumbnail path the server cannot make) still means
  // the job is the user's.
  // The answer names the job's picture too, which the source's window
  // shows: asked once, here, while the indices are this listing's.
  if (job.ready) {
    const HRESULT owner = ItemPreview(index, job.thumbnail);
    job.yours = owner == S_OK || (FAILED(owner) && !gone_);
  }
  return gone_ ? RPC_E_DISCONNECTED : S_OK;
}

HRESULT Connection::EndListing(std::vector<Job>& jobs)
{
  if (bridge_ == nullptr || gone_) return RPC_E_DISCONNECTED;
  // Each selection of the reads counted its job's pages in: no walk is on.
  Seen(bridge_->SetPagesRemaining(0));
  std::map<std::wstring, int> named;
  for (const Job& job : jobs) ++named[job.name];
  for (Job& job : jobs) job.alone = named[job.name] == 1;
  return gone_ ? RPC_E_DISCONNECTED : S_OK;
}

HRESULT Connection::ItemPreview(int index, std::wstring& path)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  BSTR document = nullptr, thumbnail = nullptr;
  const HRESULT hr = Seen(bridge_->GetItemPreview(index, &document, &thumbnail));
  // Only a full answer names the file; a failed one may have set the
  // document's name alone.
  if (hr == S_OK && thumbnail != nullptr)
    path.assign(thumbnail, wcsnlen(thumbnail, SysStringLen(thumbnail)));
  SysFreeString(document);
  SysFreeString(thumbnail);
  return hr;
}

}  // namespace twainds
