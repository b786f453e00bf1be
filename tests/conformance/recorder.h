// The record of one conformance run: one text line per observed field,
//   <row number> TAB <label> TAB <field> TAB <value>
// so that two runs of the same table (in-process and through the proxy) can
// be compared field by field. After each row the journal lines that the
// simulated driver wrote during the row are added as fields of the row, with
// the elapsed times dropped (they are the one part that differs by nature).
#pragma once

#include <cstdio>
#include <string>

#include "platform/win32.h"

namespace conformance {

class Recorder {
 public:
  // `out` receives the record; `journalPath` is the simulator's journal file
  // (in the platform's own path syntax), read from where the last row ended.
  Recorder(std::FILE* out, std::string journalPath);

  // Starts a row: its number, label, the slot it calls, the call as written,
  // and the fields that may differ across the process boundary with why.
  void BeginRow(int number, const std::string& label, const std::string& method,
                const std::string& call, const std::string& mayDiffer, const std::string& why);
  // Adds the journal lines written since the last row and ends the row.
  void EndRow();
  // The last line of a complete record.
  void Finish(int rows);

  void Field(const std::string& name, const std::string& value);
  void Hr(HRESULT hr) { Field("hr", HrText(hr)); }
  void Int(const std::string& name, long long value) { Field(name, std::to_string(value)); }
  // A BSTR by its length and its content ("null" for a null BSTR).
  void Bstr(const std::string& name, BSTR text);
  // Text in a fixed buffer of `capacity` units: up to the terminator.
  void Wide(const std::string& name, const WCHAR* text, size_t capacity);
  // Bytes in hexadecimal, all of them.
  void Bytes(const std::string& name, const void* data, size_t size);
  // Bytes by their count, how many are not zero, a hash and the first ones.
  void Digest(const std::string& name, const void* data, size_t size);

  static std::string HrText(HRESULT hr);
  // UTF-16 as printable ASCII: other units as \uXXXX.
  static std::string Escaped(const WCHAR* text, size_t length);

 private:
  void Journal();

  std::FILE* out_;
  std::string journalPath_;
  long journalOffset_ = 0;
  std::string prefix_;
};

}  // namespace conformance
