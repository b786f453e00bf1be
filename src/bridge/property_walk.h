// Walks over the driver's property records: the first match, the last match
// (readers that overwrite an out-value at each match), or every record in
// order. A null array or a count of 0 has no records.
#pragma once

#include "bridge/driver_blocks.h"

template <typename Visit>
void ForEachProperty(driver::PropertyRecord* records, DWORD count, Visit&& visit)
{
  if (records == nullptr) return;
  for (DWORD i = 0; i < count; ++i) visit(records[i]);
}

inline driver::PropertyRecord* FirstProperty(driver::PropertyRecord* records, DWORD count, DWORD id)
{
  return driver::FindProperty(records, count, id);
}

inline driver::PropertyRecord* LastProperty(driver::PropertyRecord* records, DWORD count, DWORD id)
{
  driver::PropertyRecord* found = nullptr;
  ForEachProperty(records, count, [&](driver::PropertyRecord& record) {
    if (record.Identifier() == id) found = &record;
  });
  return found;
}
