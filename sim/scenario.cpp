#include "sim/scenario.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <nlohmann/json.hpp>

#include "protocol/driver_protocol.h"

namespace sim {

namespace {

using nlohmann::json;
namespace property = driver::property;

// Thrown inside the parser only; ParseScenario turns it into a message.
struct ScenarioError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
  throw ScenarioError{where + ": " + what};
}

Text TextOf(const json& node, const std::string& where)
{
  if (!node.is_string()) Fail(where, "expected a string");
  return Utf8ToText(node.get<std::string>());
}

// A 32-bit value, signed or not: a JSON integer from -2^31 to 2^32 - 1, or
// a string holding an unsigned number in C notation (decimal, 0x hex, 0
// octal) up to 0xFFFFFFFF.
LONG LongOf(const json& node, const std::string& where)
{
  // The parser keeps non-negative integers unsigned and negative ones
  // signed; each is range-checked in its own type, so that nothing wraps.
  if (node.is_number_unsigned()) {
    const uint64_t v = node.get<uint64_t>();
    if (v > 0xFFFFFFFFull) Fail(where, "number out of 32-bit range");
    return static_cast<LONG>(static_cast<uint32_t>(v));
  }
  if (node.is_number_integer()) {
    const int64_t v = node.get<int64_t>();
    if (v < -2147483648LL) Fail(where, "number out of 32-bit range");
    return static_cast<LONG>(v);
  }
  // HRESULTs and other codes are easier to read in hexadecimal. strtoull
  // would also take blanks, a sign (wrapping a negative number round) and
  // stop at a NUL: only digits are let through to it.
  if (node.is_string()) {
    const std::string s = node.get<std::string>();
    char* end = nullptr;
    const bool digitFirst = !s.empty() && s[0] >= '0' && s[0] <= '9';
    errno = 0;
    const unsigned long long v = digitFirst ? std::strtoull(s.c_str(), &end, 0) : 0;
    if (!digitFirst || end != s.c_str() + s.size() || errno == ERANGE || v > 0xFFFFFFFFull)
      Fail(where, "not a number: " + s);
    return static_cast<LONG>(static_cast<uint32_t>(v));
  }
  Fail(where, "expected a number");
}

DWORD DwordOf(const json& node, const std::string& where)
{
  return static_cast<DWORD>(LongOf(node, where));
}

bool BoolOf(const json& node, const std::string& where)
{
  if (!node.is_boolean()) Fail(where, "expected true or false");
  return node.get<bool>();
}

// Rejects members the parser does not know, so that a misspelt key in a
// hand-edited file is reported instead of silently ignored.
void CheckKeys(const json& node, const std::string& where, std::initializer_list<const char*> known)
{
  if (!node.is_object()) Fail(where, "expected an object");
  for (auto it = node.begin(); it != node.end(); ++it) {
    bool found = false;
    for (const char* k : known) found = found || it.key() == k;
    if (!found) Fail(where, "unknown member \"" + it.key() + "\"");
  }
}

std::vector<PropertySpec> PropertiesOf(const json& node, const std::string& where)
{
  if (!node.is_array()) Fail(where, "expected an array of {\"id\", \"value\"}");
  std::vector<PropertySpec> out;
  for (size_t i = 0; i < node.size(); ++i) {
    std::string at = where + "[" + std::to_string(i) + "]";
    CheckKeys(node[i], at, {"id", "value"});
    if (!node[i].contains("id") || !node[i].contains("value")) Fail(at, "needs id and value");
    out.push_back({DwordOf(node[i]["id"], at + ".id"), LongOf(node[i]["value"], at + ".value")});
  }
  return out;
}

WORD DayOfWeek(int year, int month, int day)
{
  // Sakamoto's method: 0 is Sunday, as in SYSTEMTIME.
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return static_cast<WORD>((year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) %
                           7);
}

int DaysInMonth(int year, int month)
{
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// Exactly "YYYY-MM-DDTHH:MM:SS", digits where the pattern has letters, naming
// a moment that exists from 1601 on: the driver hands it out as a SYSTEMTIME,
// which has no room for a sign, and a day past the month's end is no date.
SYSTEMTIME TimeOf(const json& node, const std::string& where)
{
  static const char kPattern[] = "####-##-##T##:##:##";
  const char* const expected = "expected \"YYYY-MM-DDTHH:MM:SS\", a date from 1601 on";
  if (!node.is_string()) Fail(where, expected);
  const std::string text = node.get<std::string>();
  if (text.size() != sizeof kPattern - 1) Fail(where, expected);
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kPattern[i] == '#' ? !digit : text[i] != kPattern[i]) Fail(where, expected);
  }
  auto number = [&](size_t at, size_t digits) {
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int y = number(0, 4), mo = number(5, 2), d = number(8, 2);
  const int h = number(11, 2), mi = number(14, 2), s = number(17, 2);
  if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 ||
      s > 59)
    Fail(where, expected);
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(y);
  t.wMonth = static_cast<WORD>(mo);
  t.wDay = static_cast<WORD>(d);
  t.wHour = static_cast<WORD>(h);
  t.wMinute = static_cast<WORD>(mi);
  t.wSecond = static_cast<WORD>(s);
  t.wDayOfWeek = DayOfWeek(y, mo, d);
  return t;
}

// One of the names a member takes (a conduct member, a job's thumbnail); its
// position is the value.
template <typename Choice>
Choice ChoiceOf(const json& node, const std::string& where,
                std::initializer_list<const char*> names)
{
  const std::string value = node.is_string() ? node.get<std::string>() : std::string();
  int position = 0;
  std::string expected;
  for (const char* name : names) {
    if (value == name) return static_cast<Choice>(position);
    expected += std::string(position == 0 ? "" : ", ") + name;
    ++position;
  }
  Fail(where, "expected one of " + expected);
}

constexpr size_t kLongestItemName = 1024;

JobSpec JobOf(const json& node, const std::string& where)
{
  CheckKeys(node, where, {"itemName",       "documentName", "owner",      "itemId",   "state",
                          "pages",          "width",        "height",     "dataType", "depth",
                          "deliveredDepth", "resolution",   "fileFormat", "planar",   "compression",
                          "itemSize",       "time",         "properties", "omit",     "deletable",
                          "arrivesAfterMs", "deletedAfterMs", "thumbnail"});
  JobSpec job;
  if (!node.contains("itemName")) Fail(where, "needs itemName");
  job.itemName = TextOf(node["itemName"], where + ".itemName");
  // null: the record carries a null pointer in that field.
  auto nullable = [&](const char* key, Text& field, bool& isNull) {
    if (!node.contains(key)) return;
    isNull = node[key].is_null();
    if (!isNull) field = TextOf(node[key], where + "." + key);
  };
  job.documentName = job.itemName;
  nullable("documentName", job.documentName, job.documentNameNull);
  // Everyone: every caller's token is a member, so the item is the caller's.
  job.owner = Utf8ToText("S-1-1-0");
  nullable("owner", job.owner, job.ownerNull);
  job.itemId = job.itemName;
  nullable("itemId", job.itemId, job.itemIdNull);
  auto number = [&](const char* key, LONG& field) {
    if (node.contains(key)) field = LongOf(node[key], where + "." + key);
  };
  number("state", job.state);
  number("pages", job.pages);
  number("width", job.width);
  number("height", job.height);
  number("dataType", job.dataType);
  number("resolution", job.resolution);
  number("fileFormat", job.fileFormat);
  number("planar", job.planar);
  // The depth follows the data type unless the scenario says otherwise.
  job.depth = job.dataType == driver::kDataTypeColour ? 24
              : job.dataType == driver::kDataTypeGrey ? 8
                                                      : 1;
  number("depth", job.depth);
  job.deliveredDepth = job.depth;
  number("deliveredDepth", job.deliveredDepth);
  if (node.contains("compression")) {
    if (node["compression"].is_null())
      job.compression.reset();
    else
      job.compression = LongOf(node["compression"], where + ".compression");
  }
  if (node.contains("itemSize")) job.itemSize = LongOf(node["itemSize"], where + ".itemSize");
  if (node.contains("time")) {
    if (node["time"].is_null())
      job.hasTime = false;
    else
      job.time = TimeOf(node["time"], where + ".time");
  } else {
    job.time = TimeOf(json("2024-01-15T10:30:00"), where);
  }
  if (node.contains("properties"))
    job.extraProperties = PropertiesOf(node["properties"], where + ".properties");
  if (node.contains("omit")) {
    if (!node["omit"].is_array()) Fail(where + ".omit", "expected an array of identifiers");
    for (const json& id : node["omit"]) job.omitProperties.push_back(DwordOf(id, where + ".omit"));
  }
  if (node.contains("deletable")) job.deletable = BoolOf(node["deletable"], where + ".deletable");
  if (node.contains("arrivesAfterMs")) {
    job.arrivesAfterMs = DwordOf(node["arrivesAfterMs"], where + ".arrivesAfterMs");
    if (*job.arrivesAfterMs > 86400000) Fail(where + ".arrivesAfterMs", "at most a day");
  }
  if (node.contains("deletedAfterMs")) {
    job.deletedAfterMs = DwordOf(node["deletedAfterMs"], where + ".deletedAfterMs");
    if (*job.deletedAfterMs > 86400000) Fail(where + ".deletedAfterMs", "at most a day");
    // A job that is not there yet cannot be deleted at the panel.
    if (job.arrivesAfterMs && *job.deletedAfterMs <= *job.arrivesAfterMs)
      Fail(where + ".deletedAfterMs", "must be later than arrivesAfterMs");
  }
  if (node.contains("thumbnail"))
    job.thumbnail = ChoiceOf<JobSpec::Thumbnail>(node["thumbnail"], where + ".thumbnail",
                                                 {"written", "missing", "corrupt"});

  if (job.pages < 1 || job.pages > 1000) Fail(where + ".pages", "must be 1 to 1000");
  if (job.width < 1 || job.width > 20000 || job.height < 1 || job.height > 20000)
    Fail(where, "width and height must be 1 to 20000");
  if (job.deliveredDepth != 1 && job.deliveredDepth != 8 && job.deliveredDepth != 24)
    Fail(where + ".deliveredDepth", "the driver delivers 1, 8 or 24 bits per pixel");
  // A name of 260 units or more is listed but cannot be transferred: a
  // request carries at most 259.
  if (job.itemName.empty() || job.itemName.size() > kLongestItemName)
    Fail(where + ".itemName", "must be 1 to 1024 characters");
  return job;
}

DeviceSpec DeviceOf(const json& node, const std::string& where)
{
  CheckKeys(node, where,
            {"index", "description", "localName", "vendor", "port", "propProvider", "deviceType",
             "capabilitiesFlags", "hardwareConfig", "attached", "deviceData", "settings",
             "capabilities", "jobName", "users", "driverValue", "requireLock", "jobs"});
  DeviceSpec device;
  if (!node.contains("index")) Fail(where, "needs index");
  device.index = DwordOf(node["index"], where + ".index");
  if (device.index > 99) Fail(where + ".index", "must be 0 to 99");
  auto text = [&](const char* key, Text& field) {
    if (node.contains(key)) field = TextOf(node[key], where + "." + key);
  };
  text("description", device.description);
  text("localName", device.localName);
  text("vendor", device.vendor);
  text("port", device.port);
  text("propProvider", device.propProvider);
  text("jobName", device.jobName);
  if (node.contains("deviceType")) device.deviceType = DwordOf(node["deviceType"], where);
  if (node.contains("capabilitiesFlags"))
    device.capabilities = DwordOf(node["capabilitiesFlags"], where);
  if (node.contains("hardwareConfig"))
    device.hardwareConfig = DwordOf(node["hardwareConfig"], where);
  if (node.contains("attached")) device.attached = BoolOf(node["attached"], where + ".attached");
  if (node.contains("requireLock"))
    device.requireLock = BoolOf(node["requireLock"], where + ".requireLock");
  if (node.contains("deviceData")) {
    const json& data = node["deviceData"];
    if (!data.is_object()) Fail(where + ".deviceData", "expected an object of values");
    for (auto it = data.begin(); it != data.end(); ++it) {
      DeviceValueSpec value;
      value.name = Utf8ToText(it.key());
      if (it.value().is_string()) {
        value.type = REG_SZ;
        value.text = Utf8ToText(it.value().get<std::string>());
      } else {
        value.type = REG_DWORD;
        value.number = DwordOf(it.value(), where + ".deviceData." + it.key());
      }
      device.deviceData.push_back(value);
    }
  }
  // Without a list the device answers with the records every model keeps; a
  // scenario lists them to leave some out or to add the capability marker.
  if (node.contains("settings"))
    device.settings = PropertiesOf(node["settings"], where + ".settings");
  else
    device.settings = {{property::kDataType, 3},      {property::kFileFormat, 1},
                       {property::kXResolution, 2},   {property::kPaperSize, 10},
                       {property::kOption, 0},        {property::kReserved38920, 0},
                       {property::kReserved38938, 3}, {property::kReserved38936, 0},
                       {property::kReserved38949, 0}, {property::kReserved38953, 0}};
  if (node.contains("capabilities"))
    device.capabilityProperties = PropertiesOf(node["capabilities"], where + ".capabilities");
  else
    device.capabilityProperties = {
        {property::kDataType, 3}, {property::kXResolution, 4}, {property::kFileFormat, 5}};
  if (node.contains("users")) {
    const json& users = node["users"];
    if (!users.is_array()) Fail(where + ".users", "expected an array");
    for (size_t i = 0; i < users.size(); ++i) {
      std::string at = where + ".users[" + std::to_string(i) + "]";
      CheckKeys(users[i], at, {"storeId", "pin"});
      if (!users[i].contains("storeId")) Fail(at, "needs storeId");
      UserSpec user{TextOf(users[i]["storeId"], at + ".storeId"), Text()};
      if (users[i].contains("pin")) user.pin = TextOf(users[i]["pin"], at + ".pin");
      device.users.push_back(user);
    }
  }
  if (node.contains("driverValue")) device.driverValue = TextOf(node["driverValue"], where);
  if (node.contains("jobs")) {
    const json& jobs = node["jobs"];
    if (!jobs.is_array()) Fail(where + ".jobs", "expected an array");
    for (size_t i = 0; i < jobs.size(); ++i)
      device.jobs.push_back(JobOf(jobs[i], where + ".jobs[" + std::to_string(i) + "]"));
  }
  return device;
}

DWORD TargetOf(const json& node, const std::string& where)
{
  if (node.is_string()) {
    const std::string t = node.get<std::string>();
    if (t == "lock") return STISIM_TARGET_LOCK;
    if (t == "unlock") return STISIM_TARGET_UNLOCK;
    if (t == "createDevice") return STISIM_TARGET_CREATE_DEVICE;
    if (t == "deviceList") return STISIM_TARGET_DEVICE_LIST;
    if (t == "deviceInfo") return STISIM_TARGET_DEVICE_INFO;
    if (t == "deviceValue") return STISIM_TARGET_DEVICE_VALUE;
    if (t == "createInstance") return STISIM_TARGET_CREATE_INSTANCE;
    for (driver::EscapeCode code : driver::kAllEscapeCodes)
      if (t == driver::EscapeCodeName(static_cast<DWORD>(code))) return static_cast<DWORD>(code);
  }
  DWORD code = DwordOf(node, where);
  if (driver::EscapeCodeName(code) == nullptr) Fail(where, "not an escape code or target");
  return code;
}

DWORD ModeOf(const json& mode, const std::string& where)
{
  std::string m = mode.is_string() ? mode.get<std::string>() : std::string();
  if (m == "fail") return STISIM_FAULT_FAIL;
  if (m == "timeout") return STISIM_FAULT_TIMEOUT;
  if (m == "empty") return STISIM_FAULT_EMPTY;
  if (m == "mismatch") return STISIM_FAULT_MISMATCH;
  Fail(where, "expected fail, timeout, empty or mismatch");
}

ChaosSpec ChaosOf(const json& node)
{
  CheckKeys(
      node, "chaos",
      {"seed", "rate", "modes", "targets", "lockTimeoutMs", "delayMs", "hresult", "countDelta"});
  ChaosSpec chaos;
  if (node.contains("seed")) {
    const json& seed = node["seed"];
    // The parser keeps whole numbers of 0 or more as unsigned ones.
    if (!seed.is_number_unsigned()) Fail("chaos.seed", "expected a whole number of 0 or more");
    chaos.seed = seed.get<unsigned long long>();
  }
  if (!node.contains("rate") || !node["rate"].is_number() || node["rate"].get<double>() < 0 ||
      node["rate"].get<double>() > 1)
    Fail("chaos.rate", "expected a number from 0 to 1");
  chaos.rate = node["rate"].get<double>();
  if (node.contains("modes")) {
    if (!node["modes"].is_array()) Fail("chaos.modes", "expected an array of modes");
    for (const json& mode : node["modes"]) chaos.modes.push_back(ModeOf(mode, "chaos.modes"));
  } else {
    chaos.modes = {STISIM_FAULT_FAIL, STISIM_FAULT_TIMEOUT, STISIM_FAULT_EMPTY,
                   STISIM_FAULT_MISMATCH};
  }
  if (node.contains("targets")) {
    const json& targets = node["targets"];
    if (!targets.is_array()) Fail("chaos.targets", "expected an array of targets");
    chaos.locks = chaos.escapes = chaos.unlocks = false;
    for (const json& target : targets) {
      const std::string t = target.is_string() ? target.get<std::string>() : std::string();
      if (t == "lock")
        chaos.locks = true;
      else if (t == "escape")
        chaos.escapes = true;
      else if (t == "unlock")
        chaos.unlocks = true;
      else
        Fail("chaos.targets", "expected lock, escape or unlock");
    }
  }
  if (node.contains("lockTimeoutMs"))
    chaos.lockTimeoutMs = DwordOf(node["lockTimeoutMs"], "chaos.lockTimeoutMs");
  // An escape that times out waits as long as a lock that does, unless told.
  chaos.delayMs = node.contains("delayMs") ? DwordOf(node["delayMs"], "chaos.delayMs")
                                           : chaos.lockTimeoutMs.value_or(0);
  if (node.contains("hresult")) chaos.result = LongOf(node["hresult"], "chaos.hresult");
  if (node.contains("countDelta")) {
    chaos.countDelta = LongOf(node["countDelta"], "chaos.countDelta");
    if (chaos.countDelta < 1 || chaos.countDelta > 1000)
      Fail("chaos.countDelta", "must be 1 to 1000");
  }
  return chaos;
}

ConductSpec ConductOf(const json& node)
{
  CheckKeys(node, "conduct",
            {"dataSizeWord", "failedOut", "blocks", "addresses", "requestName", "freedList",
             "discarded", "failedEscape", "driverValue", "registrations"});
  ConductSpec conduct;
  auto choose = [&](const char* key, auto& field, std::initializer_list<const char*> names) {
    if (node.contains(key))
      field = ChoiceOf<std::remove_reference_t<decltype(field)>>(
          node[key], std::string("conduct.") + key, names);
  };
  choose("dataSizeWord", conduct.dataSizeWord,
         {"delivered", "untouched", "zero", "total", "remaining", "beyond"});
  choose("failedOut", conduct.failedOut, {"emptied", "kept"});
  choose("blocks", conduct.blocks, {"kept", "bound"});
  choose("addresses", conduct.addresses, {"fresh", "reused"});
  choose("requestName", conduct.requestName, {"terminated", "whole"});
  choose("freedList", conduct.freedList, {"emptied", "untouched", "scribbled"});
  choose("discarded", conduct.discarded, {"plain", "scribbled"});
  choose("failedEscape", conduct.failedEscape, {"clean", "partial"});
  choose("driverValue", conduct.driverValue, {"kept", "reclaimed"});
  choose("registrations", conduct.registrations, {"kept", "bound"});
  return conduct;
}

StiSimFault FaultOf(const json& node, const std::string& where)
{
  CheckKeys(node, where,
            {"target", "mode", "hresult", "delayMs", "countDelta", "skip", "times", "device",
             "operation"});
  if (!node.contains("target") || !node.contains("mode")) Fail(where, "needs target and mode");
  StiSimFault fault{};
  fault.target = TargetOf(node["target"], where + ".target");
  fault.mode = ModeOf(node["mode"], where + ".mode");
  fault.result = node.contains("hresult") ? LongOf(node["hresult"], where + ".hresult") : E_FAIL;
  fault.delayMs = node.contains("delayMs") ? DwordOf(node["delayMs"], where) : 0;
  fault.countDelta = node.contains("countDelta") ? LongOf(node["countDelta"], where) : 1;
  fault.skip = node.contains("skip") ? DwordOf(node["skip"], where) : 0;
  fault.times = node.contains("times") ? DwordOf(node["times"], where) : 0;
  fault.device = node.contains("device") ? DwordOf(node["device"], where) : STISIM_ANY;
  fault.operation = node.contains("operation") ? DwordOf(node["operation"], where) : STISIM_ANY;
  return fault;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error)
{
  try {
    json root = json::parse(text, nullptr, true, true);
    CheckKeys(root, "scenario",
              {"name", "devices", "launch", "faults", "lockTimeoutMs", "chaos", "journalLimit",
               "conduct", "keepDeletions", "census", "comment"});
    Scenario out;
    if (root.contains("name")) {
      if (!root["name"].is_string()) Fail("name", "expected a string");
      out.name = root["name"].get<std::string>();
    }
    if (root.contains("devices")) {
      const json& devices = root["devices"];
      if (!devices.is_array()) Fail("devices", "expected an array");
      for (size_t i = 0; i < devices.size(); ++i) {
        out.devices.push_back(DeviceOf(devices[i], "devices[" + std::to_string(i) + "]"));
        for (size_t j = 0; j < i; ++j)
          if (out.devices[j].index == out.devices[i].index)
            Fail("devices[" + std::to_string(i) + "]", "index used twice");
      }
    }
    if (root.contains("launch") && !root["launch"].is_null()) {
      const json& launch = root["launch"];
      CheckKeys(launch, "launch", {"device", "eventCode", "eventName"});
      LaunchSpec spec;
      spec.device = launch.contains("device") ? DwordOf(launch["device"], "launch.device") : 0;
      if (spec.device >= out.devices.size()) Fail("launch.device", "no such device position");
      spec.eventCode = launch.contains("eventCode") ? DwordOf(launch["eventCode"], "launch") : 0;
      if (launch.contains("eventName")) spec.eventName = TextOf(launch["eventName"], "launch");
      out.launch = spec;
    }
    if (root.contains("faults")) {
      const json& faults = root["faults"];
      if (!faults.is_array()) Fail("faults", "expected an array");
      for (size_t i = 0; i < faults.size(); ++i)
        out.faults.push_back(FaultOf(faults[i], "faults[" + std::to_string(i) + "]"));
    }
    if (root.contains("lockTimeoutMs"))
      out.lockTimeoutOverride = DwordOf(root["lockTimeoutMs"], "lockTimeoutMs");
    if (root.contains("chaos") && !root["chaos"].is_null()) out.chaos = ChaosOf(root["chaos"]);
    if (root.contains("journalLimit"))
      out.journalLimit = DwordOf(root["journalLimit"], "journalLimit");
    if (root.contains("conduct")) out.conduct = ConductOf(root["conduct"]);
    if (root.contains("keepDeletions"))
      out.keepDeletions = BoolOf(root["keepDeletions"], "keepDeletions");
    if (root.contains("census")) out.census = BoolOf(root["census"], "census");
    scenario = std::move(out);
    return true;
  } catch (const ScenarioError& e) {
    error = e.message;
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

Text Utf8ToText(const std::string& utf8)
{
  Text out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (extra == 0) {
      cp = c;
    } else if (extra <= 3 && i + extra < utf8.size()) {
      cp = c & (0x3F >> extra);
      for (size_t k = 1; k <= extra; ++k) {
        unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
        if ((cc & 0xC0) != 0x80) {
          cp = 0xFFFD;
          extra = k - 1;
          break;
        }
        cp = (cp << 6) | (cc & 0x3F);
      }
    } else {
      extra = 0;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<WCHAR>(cp));
    }
  }
  return out;
}

std::string TextToUtf8(const Text& text)
{
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint16_t>(text[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
      uint32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace sim
