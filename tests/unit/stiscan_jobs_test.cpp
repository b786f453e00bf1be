// The list of jobs a folder's pulls have kept: by name and time, jobs gone
// from the scanner, and deletions pending.
#include <gtest/gtest.h>

#include <vector>

#include "job/pulled_jobs.h"

namespace {

using namespace stiscan;

TEST(StiscanPulledJobs, KeptByNameAndTimeAndReadBack)
{
  const auto timed = [](const char* name, const char* time) {
    return JobIdentity{name, time, 1, 100};
  };
  const JobIdentity odd{std::string("a\tb%\n\x01.tif", 10), "", 2, 300};
  EXPECT_EQ(PulledJobs::Key(odd), "no time, 2 pages, 300 bytes\ta%09b%25%0A%01.tif");
  EXPECT_EQ(PulledJobs::Key(timed("x.tif", "2024-01-01 00:00:00")), "2024-01-01 00:00:00\tx.tif");
  PulledJobs jobs;
  jobs.Add(timed("scan0001.tif", "2024-03-05 09:15:00"), false);
  jobs.Add(odd, true);
  jobs.Add(timed("\xE8\xA6\x8B\xE7\xA9\x8D.tif", "2024-03-05 09:15:00"), true);
  EXPECT_EQ(jobs.Pending(), 2u);
  PulledJobs again;
  ASSERT_TRUE(again.Read(jobs.Text()));
  EXPECT_EQ(again.Text(), jobs.Text());
  EXPECT_EQ(again.Size(), 3u);
  EXPECT_TRUE(again.Contains(odd));
  EXPECT_TRUE(again.DeletionPending(odd));
  EXPECT_TRUE(again.Contains(timed("scan0001.tif", "2024-03-05 09:15:00")));
  EXPECT_FALSE(again.DeletionPending(timed("scan0001.tif", "2024-03-05 09:15:00")));
  // The same name at another time is another job; so is a job without time
  // of the same name but other pages.
  EXPECT_FALSE(again.Contains(timed("scan0001.tif", "2024-03-06 09:15:00")));
  EXPECT_FALSE(again.Contains({odd.name, "", 3, 300}));
  again.Deleted(odd);
  EXPECT_FALSE(again.DeletionPending(odd));
  EXPECT_TRUE(again.Contains(odd));
  EXPECT_EQ(again.Pending(), 1u);

  // Lists as earlier versions wrote them, and as an editor saves them.
  struct Read {
    const char* what;
    std::string text;
    bool ok;
    size_t size, pending;
  };
  const Read reads[] = {
      {"an earlier version's", "# stiscan watch --pull: ...\n2024-01-01 00:00:00\tx.tif\n\ty.tif\n",
       true, 2, 0},
      {"CR LF and blank lines", "# a comment\r\n\r\n2024-01-01 00:00:00\tx.tif\r\n", true, 1, 0},
      {"a byte-order mark", "\xEF\xBB\xBF# c\n2024-01-01 00:00:00\tx.tif\n", true, 1, 0},
      {"a byte-order mark before a job",
       "\xEF\xBB\xBF"
       "2024-01-01 00:00:00\tx.tif\n",
       true, 1, 0},
      {"pending alone", "#deletion pending\t2024-01-01 00:00:00\tx.tif\n", true, 1, 1},
      {"pending and pulled",
       "2024-01-01 00:00:00\tx.tif\n#deletion pending\t2024-01-01 00:00:00\tx.tif\n", true, 1, 1},
      {"no tab", "no tab\n", false, 0, 0},
      {"a bad escape", "t\tbad %G1\n", false, 0, 0},
      {"an escape cut", "t\tcut %4", false, 0, 0},
      {"two tabs", "t\ttwo\ttabs\n", false, 0, 0},
      {"a pending line without its job", "#deletion pending\tnothing\n", false, 0, 0},
      {"a mark inside", "2024\tx\xEF\xBB\xBF.tif\n", true, 1, 0},
  };
  for (const Read& r : reads) {
    PulledJobs list;
    EXPECT_EQ(list.Read(r.text), r.ok) << r.what;
    EXPECT_EQ(list.Size(), r.size) << r.what;
    EXPECT_EQ(list.Pending(), r.pending) << r.what;
  }
  // A list of an earlier version knows a job without time by its name.
  PulledJobs earlier;
  ASSERT_TRUE(earlier.Read("\ty.tif\n"));
  EXPECT_TRUE(earlier.Contains({"y.tif", "", 4, 999}));
  EXPECT_FALSE(earlier.Contains({"y.tif", "2024-01-01 00:00:00", 4, 999}));
}

// What the list holds of jobs that the scanner lists no longer: a job
// without time is forgotten, so that a later job of its name is pulled; a
// deletion pending is done; a job with a time stays known.
TEST(StiscanPulledJobs, JobsGoneFromTheScanner)
{
  const JobIdentity untimed{"scan.tif", "", 3, 1000}, timed{"a.tif", "2024-01-01 00:00:00", 1, 5},
      deleting{"b.tif", "2024-01-02 00:00:00", 1, 5};
  PulledJobs list;
  ASSERT_TRUE(list.Read("\tlegacy.tif\n"));
  list.Add(untimed, false);
  list.Add(timed, false);
  list.Add(deleting, true);
  // All listed: nothing changes.
  EXPECT_FALSE(list.Forget({untimed, timed, deleting, {"legacy.tif", "", 9, 9}}));
  EXPECT_EQ(list.Size(), 4u);
  EXPECT_EQ(list.Pending(), 1u);
  // None listed: the entries without time go, the pending deletion is done.
  EXPECT_TRUE(list.Forget({}));
  EXPECT_EQ(list.Size(), 2u);
  EXPECT_TRUE(list.Contains(timed));
  EXPECT_TRUE(list.Contains(deleting));
  EXPECT_EQ(list.Pending(), 0u);
  EXPECT_FALSE(list.Contains(untimed)) << "a later scan named alike is a new job";
  EXPECT_FALSE(list.Forget({}));
}

// A deletion pending is done without the job being pulled again only for
// the one job the scanner lists under the entry's exact key: a job without
// time, or one of a key the scanner lists twice, may be another job (the one
// pulled deleted at the panel, and another scanned alike), and its entry
// goes so that the job is pulled again.
TEST(StiscanPulledJobs, PendingDeletionsOfOneExactJobOnly)
{
  const JobIdentity timed{"a.tif", "2024-01-01 00:00:00", 1, 5}, scan{"Scan.tif", "", 1, 87878},
      scanOther{"Scan.tif", "", 2, 87878}, scanTimed{"Scan.tif", "2024-01-02 00:00:00", 1, 87878};
  struct Row {
    const char* what;
    std::string list;
    std::vector<JobIdentity> listed;
    std::vector<std::string> dropped;
    size_t pendingAfter, sizeAfter;
    std::set<std::string> keep = {};
  };
  const std::string legacy = "#deletion pending\t\tScan.tif\n";
  const auto pending = [](const JobIdentity& job) {
    return PulledJobs::Key(job) + "\n#deletion pending\t" + PulledJobs::Key(job) + "\n";
  };
  const Row rows[] = {
      {"a timed job listed once", pending(timed), {timed, scan}, {}, 1, 1},
      {"a timed job listed twice", pending(timed), {timed, scan, timed}, {"a.tif"}, 0, 0},
      {"a job without time listed alike", pending(scan), {timed, scan}, {"Scan.tif"}, 0, 0},
      {"a job without time listed with other pages", pending(scan), {scanOther}, {}, 1, 1},
      {"an earlier version's entry", legacy, {scanOther}, {"Scan.tif"}, 0, 0},
      {"an earlier version's entry, timed now", legacy, {scanTimed}, {}, 1, 1},
      {"pulled, listed twice", PulledJobs::Key(timed) + "\n", {timed, timed}, {}, 0, 1},
      {"nothing listed", pending(scan) + pending(timed), {}, {}, 2, 2},
      {"one a watch pulled itself", pending(scan), {scan}, {}, 1, 1, {PulledJobs::Key(scan)}},
  };
  for (const Row& row : rows) {
    PulledJobs list;
    ASSERT_TRUE(list.Read(row.list)) << row.what;
    EXPECT_EQ(list.DropUnsure(row.listed, row.keep), row.dropped) << row.what;
    EXPECT_EQ(list.Pending(), row.pendingAfter) << row.what;
    EXPECT_EQ(list.Size(), row.sizeAfter) << row.what;
  }
  // Whether a job is the one listed under its exact key.
  EXPECT_TRUE(PulledJobs::Unique(timed, {timed, scan, scanTimed}));
  EXPECT_FALSE(PulledJobs::Unique(timed, {timed, scan, timed}));
  EXPECT_FALSE(PulledJobs::Unique(scan, {scan}));
  EXPECT_FALSE(PulledJobs::Unique(timed, {}));
}

}  // namespace
