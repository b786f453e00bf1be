// The progress indicator's resource and control identifiers, shared by its
// template (indicator.rc) and its code (indicator.cpp).
#pragma once

#define IDD_INDICATOR 200
#define IDC_INDICATOR_TEXT 201
