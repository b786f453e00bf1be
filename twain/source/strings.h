// The texts of the source's windows and messages: identifiers of the
// string tables (strings.rc, one table a language), and the text of one in
// the language the source speaks now.
#pragma once

// Identifiers, grouped by the window they belong to. The job window's
// texts are 1100 on, the indicator's and the messages' 1200 on.
#define IDS_LANGUAGE_NAME 1000

// The job window (job_dialog.cpp).
#define IDS_JOBS_TITLE 1100
#define IDS_JOBS_NOTE 1101
#define IDS_JOBS_TRANSFER 1102
#define IDS_JOBS_CANCEL 1103
#define IDS_JOBS_REFRESH 1104
#define IDS_JOBS_EMPTY 1105
#define IDS_JOBS_CHOSEN 1106
#define IDS_JOBS_DELETED 1107
#define IDS_JOBS_KEPT 1108
#define IDS_COLUMN_JOB 1110
#define IDS_COLUMN_DOCUMENT 1111
#define IDS_COLUMN_PAGES 1112
#define IDS_COLUMN_TYPE 1113
#define IDS_COLUMN_RESOLUTION 1114
#define IDS_COLUMN_SCANNED 1115
#define IDS_TYPE_BW 1120
#define IDS_TYPE_GREY 1121
#define IDS_TYPE_COLOUR 1122
#define IDS_DPI 1123

// The progress indicator.
#define IDS_INDICATOR_TITLE 1200
#define IDS_INDICATOR_PROGRESS 1201
#define IDS_INDICATOR_CANCEL 1202
#define IDS_INDICATOR_CANCELLING 1203

// The messages of MSG_ENABLEDS with the source's window asked for.
#define IDS_MESSAGE_TITLE 1210
#define IDS_SERVER_UNREACHABLE 1211
#define IDS_SCANNER_UNREACHABLE 1212

#ifndef RC_INVOKED

#include <windows.h>

#include <initializer_list>
#include <string>

namespace twainds {

// This module, whose resources hold the string tables and the windows'
// templates.
HINSTANCE SourceModule();

// The text `id` in the language chosen (language.h), else in English; an
// empty text where neither table has it.
std::wstring Text(UINT id);

// The text `id` with each "%1", "%2", ... replaced by the argument of that
// number ("%%" stays a "%").
std::wstring Format(UINT id, std::initializer_list<std::wstring> arguments);

}  // namespace twainds

#endif
