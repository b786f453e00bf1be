// What `stiscan watch --pull` has pulled into its folder: a small text file
// there, one job a line, so that a watch started again pulls nothing twice.
// A job is known by its item name (how the interface names a job) and the
// time the scanner stored it, so that a name the scanner gives again to a
// new job is a new job.
#pragma once

#include <set>
#include <string>

namespace stiscan {

// The file's name in the folder.
constexpr char kPulledJobsFile[] = "stiscan-pulled.txt";

class PulledJobs {
 public:
  // `itemName` in stiscan's UTF-8, `time` as "YYYY-MM-DD HH:MM:SS" or empty.
  static std::string Key(const std::string& itemName, const std::string& time);

  bool Contains(const std::string& key) const { return keys_.count(key) != 0; }
  void Add(const std::string& key) { keys_.insert(key); }
  size_t Size() const { return keys_.size(); }

  // The file's text: a comment line, then per job its time, a tab and its
  // name, control characters and "%" in it as %XX. Reading takes every line
  // but comments and blank ones; false (and nothing read) when a line has
  // no tab or a bad escape.
  std::string Text() const;
  bool Read(const std::string& text);

 private:
  std::set<std::string> keys_;
};

}  // namespace stiscan
