// The scanner as a second client of the server sees it, beside the TWAIN
// application's source (twain_store.cpp): it holds the server up for the
// whole run, so that what the source did to the store is still there to be
// seen. Apart from twain_client.h: the interface's header and TWAIN's both
// declare TW_IMAGEINFO.
#pragma once

#include <string>
#include <vector>

bool StoreOpen();
void StoreClose();
// The item names of the jobs stored now.
std::vector<std::string> StoredJobs();
// The scanner's settings of the user's jobs: pixel type, paper size,
// resolution, file format.
bool StoredSettings(short settings[4]);
