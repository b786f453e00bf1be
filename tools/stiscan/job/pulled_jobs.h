// What stiscan has pulled into a folder: a small text file there, one job a
// line, kept by `watch --pull` (so that a watch started again pulls nothing
// twice) and by `pull --delete`, and the jobs among them that are still to be
// deleted from the scanner (so that a deletion that did not happen is tried
// again by the next sweep or pull).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace stiscan {

// The file's name in the folder.
constexpr char kPulledJobsFile[] = "stiscan-pulled.txt";

// How the list knows a job: by its item name (how the interface names a job)
// and the time the scanner stored it, so that a name the scanner gives again
// to a new job is a new job. A job stored without a time is known by its
// name, page count and size instead, and only for as long as the scanner
// lists it (Forget).
struct JobIdentity {
  std::string name;  // stiscan's UTF-8
  std::string time;  // "YYYY-MM-DD HH:MM:SS", or empty: none stored
  int pages = 0;
  long long size = 0;
};

class PulledJobs {
 public:
  // The job's key: its time, a tab and its name (control characters and "%"
  // in it as %XX); for a job without time, "no time, N pages, M bytes" in
  // the time's place.
  static std::string Key(const JobIdentity& job);

  // Whether the list holds the job: by its key, or (a job without time) by
  // the key that lists of earlier versions gave it, an empty time.
  bool Contains(const JobIdentity& job) const;
  // Enters the job as pulled; `deletionPending` also as still to be deleted
  // from the scanner.
  void Add(const JobIdentity& job, bool deletionPending);
  // The job's deletion happened, or is not to be tried any more.
  void Deleted(const JobIdentity& job);
  bool DeletionPending(const JobIdentity& job) const;
  size_t Pending() const;
  size_t Size() const { return keys_.size(); }

  // What the list holds of jobs that none of `listed` (every job the
  // scanner lists now) is: an entry of a job without time goes (its job is
  // gone, so a later job of that name is a new one), and a deletion pending
  // is done (someone deleted the job). Whether anything changed.
  bool Forget(const std::vector<JobIdentity>& listed);

  // Whether `job` is the one job of `listed` (every job the scanner lists
  // now) under its exact key: it has a stored time, and no other listed job
  // has its name and time. Only such a job is deleted without being pulled.
  static bool Unique(const JobIdentity& job, const std::vector<JobIdentity>& listed);

  // The deletions pending that `listed` matches only by a key without time,
  // or by more than one job: the job listed may be another one of that key
  // (the one pulled deleted at the panel, and one scanned alike since),
  // which must not be deleted without being pulled. Each such entry goes,
  // so that its job is pulled again, but those whose keys are in `keep`;
  // the names of the jobs they named, for a note.
  std::vector<std::string> DropUnsure(const std::vector<JobIdentity>& listed,
                                      const std::set<std::string>& keep = {});

  // The file's text: a comment, then per job its key; a job still to be
  // deleted also on a line "#deletion pending", a tab and its key (a comment
  // to earlier versions, which read the list as before). Reading takes a
  // UTF-8 byte-order mark (an editor's save), CR LF line ends, and every line
  // but comments and blank ones; false (and nothing read) when a line has no
  // tab or a bad escape.
  std::string Text() const;
  bool Read(const std::string& text);

 private:
  const bool* Find(const JobIdentity& job) const;

  std::map<std::string, bool> keys_;  // key, deletion pending
};

}  // namespace stiscan
