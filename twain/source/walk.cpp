#include "source/walk.h"

#include <cstring>

namespace twainds {

bool Walk::Start(const std::vector<Job>& jobs, int count)
{
  Stop();
  jobs_ = jobs;
  count_ = count;
  active_ = count_ != 0 && SelectFrom(0);
  return active_;
}

bool Walk::SelectFrom(size_t index)
{
  // A job the scanner no longer has (another program took it meanwhile) is
  // passed over.
  for (at_ = index; at_ < jobs_.size(); ++at_) {
    int pages = 0;
    if (SUCCEEDED(connection_.SelectJob(jobs_[at_].index, pages)) && pages > 0) {
      pagesInJob_ = pages;
      page_ = 1;
      pageWhole_ = false;
      jobWhole_ = true;
      described_ = false;
      return true;
    }
    if (connection_.Gone()) break;
  }
  return false;
}

int Walk::Pending() const
{
  if (!active_) return 0;
  long pending = pagesInJob_ - page_ + 1;
  for (size_t i = at_ + 1; i < jobs_.size(); ++i) pending += jobs_[i].pages;
  if (count_ >= 0 && pending > count_) pending = count_;
  return pending > 0x7FFF ? 0x7FFF : static_cast<int>(pending);
}

HRESULT Walk::Describe(TW_IMAGEINFO& info)
{
  static_assert(sizeof(TW_IMAGEINFO) == std::tuple_size_v<ImageInfoBytes>);
  if (!active_) return E_FAIL;
  if (!described_) {
    const HRESULT hr = connection_.DescribePage(info_);
    if (FAILED(hr)) return hr;
    described_ = true;
  }
  std::memcpy(&info, info_.data(), sizeof info);
  return S_OK;
}

HRESULT Walk::Begin(Mechanism mechanism, short fileFormat)
{
  if (!active_) return E_FAIL;
  std::wstring item;
  int page = 0;
  HRESULT hr = connection_.Position(item, page);
  if (FAILED(hr)) return hr;
  // The scanner's walk is where this one is, or the page would be another's.
  if (item != CurrentJob().name || page != page_) return E_UNEXPECTED;
  return connection_.BeginTransfer(mechanism, fileFormat);
}

HRESULT Walk::End(bool& jobEnded)
{
  jobEnded = false;
  if (!active_) return S_OK;
  if (!pageWhole_) jobWhole_ = false;
  if (count_ > 0) --count_;
  const bool lastOfJob = page_ >= pagesInJob_;
  jobEnded = lastOfJob;
  int left = 0;
  // The server moves its walk on even when what it did at the step failed
  // (the next page's description, a deletion the scanner refused); only a
  // server that is gone ends the walk here.
  const HRESULT hr = connection_.Advance(lastOfJob && jobWhole_, left);
  if (connection_.Gone()) {
    active_ = false;
    return hr;
  }
  pageWhole_ = false;
  described_ = false;
  if (!lastOfJob) {
    ++page_;
    // The application takes no more: the job is left where it stands.
    if (count_ == 0) Stop();
    return S_OK;
  }
  active_ = count_ != 0 && SelectFrom(at_ + 1);
  return S_OK;
}

void Walk::Stop()
{
  // A job left in its middle is walked to its end without being deleted:
  // the scanner's walk then stands at a job's start again (on its first
  // page it does already).
  if (active_ && page_ > 1) connection_.EndWalk();
  active_ = false;
  described_ = false;
}

}  // namespace twainds
