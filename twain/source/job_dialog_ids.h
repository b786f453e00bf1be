// The job dialog's resource and control identifiers, shared by its
// template (job_dialog.rc) and its code (job_dialog.cpp). Applications and
// tests that drive the window find its parts by these numbers:
//   IDC_JOBS          the list (report view): one row a job, column 0 the
//                     job's item name; each row's image (LVIF_IMAGE) is 0,
//                     the placeholder, until the job's picture is shown
//   IDC_JOBS_NOTE     the line above the list
//   IDC_JOBS_EMPTY    the text shown in the list's place while it is empty
//   IDC_JOBS_CHOSEN   the line under the list: how many jobs and pages are
//                     chosen
//   IDC_JOBS_DELETE   the line that says whether the jobs are deleted from
//                     the scanner after the transfer
//   IDC_JOBS_REFRESH  lists the jobs anew
//   IDOK, IDCANCEL    Transfer and Cancel
#pragma once

#define IDD_JOBS 100
#define IDC_JOBS 101
#define IDC_JOBS_NOTE 102
#define IDC_JOBS_EMPTY 103
#define IDC_JOBS_CHOSEN 104
#define IDC_JOBS_DELETE 105
#define IDC_JOBS_REFRESH 106
