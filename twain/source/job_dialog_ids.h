// The job dialog's resource and control identifiers, shared by its
// template (job_dialog.rc) and its code (job_dialog.cpp).
#pragma once

#define IDD_JOBS 100
#define IDC_JOBS 101
#define IDC_JOBS_NOTE 102
