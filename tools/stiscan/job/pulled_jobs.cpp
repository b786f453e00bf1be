#include "job/pulled_jobs.h"

#include <set>

namespace stiscan {

namespace {

const char kHeading[] =
    "# stiscan: the jobs pulled into this folder (time, tab, item name); remove a\n"
    "# line to have that job pulled again. A line \"#deletion pending\" names a job\n"
    "# that is still to be deleted from the scanner.\n";

const char kPendingMark[] = "#deletion pending\t";
const char kNoTime[] = "no time";
const char kUtf8Mark[] = "\xEF\xBB\xBF";

int HexValue(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Escaped(const std::string& name)
{
  std::string out;
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      const char digits[] = "0123456789ABCDEF";
      out += '%';
      out += digits[byte >> 4];
      out += digits[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// A key as a line holds it: a time (or what stands for it), a tab, and a
// name with no control character and only whole escapes.
bool ValidKey(const std::string& key)
{
  const size_t tab = key.find('\t');
  if (tab == std::string::npos) return false;
  for (size_t i = tab + 1; i < key.size(); ++i) {
    if (static_cast<unsigned char>(key[i]) < 0x20) return false;
    if (key[i] == '%' &&
        (i + 2 >= key.size() || HexValue(key[i + 1]) < 0 || HexValue(key[i + 2]) < 0))
      return false;
  }
  return true;
}

bool Untimed(const std::string& key)
{
  return key[0] == '\t' || key.compare(0, sizeof kNoTime - 1, kNoTime) == 0;
}

std::string LegacyKey(const JobIdentity& job)
{
  return "\t" + Escaped(job.name);
}

}  // namespace

std::string PulledJobs::Key(const JobIdentity& job)
{
  const std::string time = !job.time.empty()
                               ? job.time
                               : std::string(kNoTime) + ", " + std::to_string(job.pages) +
                                     " pages, " + std::to_string(job.size) + " bytes";
  return time + "\t" + Escaped(job.name);
}

const bool* PulledJobs::Find(const JobIdentity& job) const
{
  auto found = keys_.find(Key(job));
  if (found == keys_.end() && job.time.empty()) found = keys_.find(LegacyKey(job));
  return found == keys_.end() ? nullptr : &found->second;
}

bool PulledJobs::Contains(const JobIdentity& job) const
{
  return Find(job) != nullptr;
}

bool PulledJobs::DeletionPending(const JobIdentity& job) const
{
  const bool* pending = Find(job);
  return pending != nullptr && *pending;
}

void PulledJobs::Add(const JobIdentity& job, bool deletionPending)
{
  keys_[Key(job)] = deletionPending;
}

void PulledJobs::Deleted(const JobIdentity& job)
{
  for (const std::string& key : {Key(job), LegacyKey(job)}) {
    auto found = keys_.find(key);
    if (found != keys_.end()) found->second = false;
  }
}

size_t PulledJobs::Pending() const
{
  size_t pending = 0;
  for (const auto& [key, deletion] : keys_) pending += deletion ? 1 : 0;
  return pending;
}

bool PulledJobs::Forget(const std::vector<JobIdentity>& listed)
{
  std::set<std::string> present;
  for (const JobIdentity& job : listed) {
    present.insert(Key(job));
    if (job.time.empty()) present.insert(LegacyKey(job));
  }
  bool changed = false;
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (present.count(it->first) != 0) {
      ++it;
    } else if (Untimed(it->first)) {
      it = keys_.erase(it);
      changed = true;
    } else {
      changed = changed || it->second;
      it->second = false;
      ++it;
    }
  }
  return changed;
}

bool PulledJobs::Unique(const JobIdentity& job, const std::vector<JobIdentity>& listed)
{
  if (job.time.empty()) return false;
  const std::string key = Key(job);
  size_t alike = 0;
  for (const JobIdentity& other : listed) alike += Key(other) == key ? 1 : 0;
  return alike == 1;
}

std::vector<std::string> PulledJobs::DropUnsure(const std::vector<JobIdentity>& listed,
                                                const std::set<std::string>& keep)
{
  // How many listed jobs each key names, and one job of it.
  std::map<std::string, std::pair<size_t, const JobIdentity*>> named;
  const auto count = [&](const std::string& key, const JobIdentity& job) {
    auto& [jobs, first] = named[key];
    if (jobs++ == 0) first = &job;
  };
  for (const JobIdentity& job : listed) {
    count(Key(job), job);
    if (job.time.empty()) count(LegacyKey(job), job);
  }
  std::vector<std::string> dropped;
  for (auto it = keys_.begin(); it != keys_.end();) {
    const auto found = named.find(it->first);
    if (!it->second || found == named.end() || keep.count(it->first) != 0 ||
        (!Untimed(it->first) && found->second.first == 1)) {
      ++it;
      continue;
    }
    dropped.push_back(found->second.second->name);
    it = keys_.erase(it);
  }
  return dropped;
}

std::string PulledJobs::Text() const
{
  std::string text = kHeading;
  for (const auto& [key, pending] : keys_) {
    text += key + "\n";
    if (pending) text += kPendingMark + key + "\n";
  }
  return text;
}

bool PulledJobs::Read(const std::string& text)
{
  std::map<std::string, bool> read;
  size_t at = text.compare(0, 3, kUtf8Mark) == 0 ? 3 : 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool pending = line.compare(0, sizeof kPendingMark - 1, kPendingMark) == 0;
    if (pending) {
      line.erase(0, sizeof kPendingMark - 1);
    } else if (line.empty() || line[0] == '#') {
      continue;
    }
    if (!ValidKey(line)) return false;
    bool& deletion = read[line];
    deletion = deletion || pending;
  }
  for (const auto& [key, pending] : read) keys_[key] = keys_[key] || pending;
  return true;
}

}  // namespace stiscan
