#include "source/capability.h"

#include <algorithm>
#include <cmath>

namespace twainds {

namespace {

bool Contains(const std::vector<Raw>& values, Raw value)
{
  return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

Shape Capability::GetShape(bool twain2) const
{
  if (twain2 || shape_ != Shape::kEnumeration) return shape_;
  // TWAIN 1.x answered a boolean in one value, and resolutions as ranges.
  if (type_ == TWTY_BOOL) return Shape::kOneValue;
  if (type_ == TWTY_FIX32) return Shape::kRange;
  return shape_;
}

Raw Capability::Plain(Raw value) const
{
  value = Masked(type_, value);
  return type_ == TWTY_BOOL ? (value != 0 ? 1 : 0) : value;
}

double Number(TW_UINT16 itemType, Raw value)
{
  switch (itemType) {
    case TWTY_FIX32:
      return FromFix32(value);
    case TWTY_INT8:
      return static_cast<signed char>(value & 0xFF);
    case TWTY_INT16:
      return Signed16(value);
    case TWTY_INT32:
      return static_cast<TW_INT32>(value);
    default:
      return Masked(itemType, value);
  }
}

Raw Nearest(TW_UINT16 itemType, const std::vector<Raw>& values, Raw value)
{
  Raw best = values.front();
  for (Raw candidate : values)
    if (std::fabs(Number(itemType, candidate) - Number(itemType, value)) <
        std::fabs(Number(itemType, best) - Number(itemType, value)))
      best = candidate;
  return best;
}

bool Within(TW_UINT16 itemType, const std::vector<Raw>& values, Raw value)
{
  if (values.empty()) return false;
  double low = Number(itemType, values.front()), high = low;
  for (Raw v : values) {
    low = std::min(low, Number(itemType, v));
    high = std::max(high, Number(itemType, v));
  }
  return Number(itemType, value) >= low && Number(itemType, value) <= high;
}

void Negotiation::Add(std::unique_ptr<Capability> capability)
{
  caps_.push_back(std::move(capability));
}

std::vector<TW_UINT16> Negotiation::Supported() const
{
  std::vector<TW_UINT16> ids = listed_;
  for (const auto& cap : caps_) ids.push_back(cap->Id());
  std::sort(ids.begin(), ids.end());
  return ids;
}

Capability* Negotiation::Find(TW_UINT16 id)
{
  for (auto& cap : caps_)
    if (cap->Id() == id) return cap.get();
  return nullptr;
}

TW_UINT32 Negotiation::QuerySupport(Capability& cap)
{
  TW_UINT32 operations = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
  if (cap.Settable()) {
    operations |= TWQC_SET | TWQC_RESET;
    if (cap.Constrainable()) operations |= TWQC_SETCONSTRAINT | TWQC_CONSTRAINABLE;
  }
  return operations;
}

Result Negotiation::Handle(TW_UINT16 message, TW_CAPABILITY& capability)
{
  Capability* cap = Find(capability.Cap);
  if (cap == nullptr) return Failed(TWCC_CAPUNSUPPORTED);
  switch (message) {
    case MSG_QUERYSUPPORT: {
      TW_HANDLE container = OneValue(memory_, TWTY_INT32, QuerySupport(*cap));
      if (container == nullptr) return Failed(TWCC_LOWMEMORY);
      capability.ConType = TWON_ONEVALUE;
      capability.hContainer = container;
      return Done();
    }
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT:
      return Get(*cap, message, capability);
    case MSG_SET:
    case MSG_SETCONSTRAINT:
      return Set(*cap, message, capability);
    case MSG_RESET:
      return Reset(*cap, capability);
    default:
      return Failed(TWCC_CAPBADOPERATION);
  }
}

bool Negotiation::Allowed(Capability& cap, Raw value)
{
  if (!cap.Choosable(value)) return false;
  auto constraint = constraints_.find(cap.Id());
  return constraint == constraints_.end() || Contains(constraint->second, value);
}

std::vector<Raw> Negotiation::AllowedValues(Capability& cap)
{
  std::vector<Raw> allowed;
  for (Raw v : cap.Values())
    if (Allowed(cap, v)) allowed.push_back(v);
  return allowed;
}

std::vector<Raw> Negotiation::Offered(Capability& cap, Raw current)
{
  // What is listed can be set back: the allowed values, and the one in
  // effect (which a MSG_SET leaves as it is, whether or not the scanner
  // would keep it if it were asked).
  std::vector<Raw> offered;
  for (Raw value : cap.Values())
    if (value == current || Allowed(cap, value)) offered.push_back(value);
  if (!Contains(offered, current)) offered.push_back(current);
  return offered;
}

Result Negotiation::Get(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability)
{
  Raw current = 0, fallback = 0;
  Result result = cap.Current(current);
  if (result.rc != TWRC_SUCCESS) return result;
  result = cap.Default(fallback);
  if (result.rc != TWRC_SUCCESS) return result;
  const TW_UINT16 type = cap.ItemType();
  const Shape shape = cap.GetShape(twain2_);
  TW_UINT16 conType = TWON_ONEVALUE;
  TW_HANDLE container = nullptr;
  if (message == MSG_GETDEFAULT) {
    container = OneValue(memory_, type, fallback);
  } else if (message == MSG_GETCURRENT || shape == Shape::kOneValue) {
    container = OneValue(memory_, type, current);
  } else if (shape == Shape::kEnumeration) {
    const std::vector<Raw> offered = Offered(cap, current);
    conType = TWON_ENUMERATION;
    const auto at = [&](Raw value) {
      auto found = std::find(offered.begin(), offered.end(), value);
      return found == offered.end() ? TW_UINT32(TWON_DONTCARE32)
                                    : static_cast<TW_UINT32>(found - offered.begin());
    };
    container = Enumeration(memory_, type, offered, at(current), at(fallback));
  } else {
    const std::vector<Raw> offered = Offered(cap, current);
    conType = TWON_RANGE;
    const auto by = [&](Raw a, Raw b) { return Number(type, a) < Number(type, b); };
    const Raw low = *std::min_element(offered.begin(), offered.end(), by);
    const Raw high = *std::max_element(offered.begin(), offered.end(), by);
    container = Range(memory_, type, low, high, cap.Step(), fallback, current);
  }
  if (container == nullptr) return Failed(TWCC_LOWMEMORY);
  capability.ConType = conType;
  capability.hContainer = container;
  return Done();
}

Result Negotiation::Set(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability)
{
  if (!cap.Settable()) return Failed(TWCC_CAPBADOPERATION);
  if (message == MSG_SETCONSTRAINT && !cap.Constrainable()) return Failed(TWCC_CAPBADOPERATION);
  Container container;
  const TW_UINT16 condition = ReadContainer(memory_, capability, container);
  if (condition != TWCC_SUCCESS) return Failed(condition);
  if (container.itemType != cap.ItemType() || !container.texts.empty())
    return Failed(TWCC_BADVALUE);
  switch (container.conType) {
    case TWON_ONEVALUE:
      return message == MSG_SETCONSTRAINT ? Constrain(cap, container)
                                          : Choose(cap, container.items.front());
    case TWON_ENUMERATION:
    case TWON_RANGE:
      // An enumeration or range in MSG_SET constrains, as before TWAIN 2.2
      // made MSG_SETCONSTRAINT the way to.
      if (cap.Constrainable()) return Constrain(cap, container);
      return Failed(TWCC_BADVALUE);
    default:
      return Failed(TWCC_BADVALUE);
  }
}

Result Negotiation::Choose(Capability& cap, Raw value)
{
  value = cap.Plain(value);
  if (Allowed(cap, value)) return cap.Apply(value);
  // The value in effect is set back as it is.
  Raw current = 0;
  const Result now = cap.Current(current);
  if (now.rc != TWRC_SUCCESS) return now;
  if (value == current) return Done();
  Raw instead = 0;
  if (cap.Instead(value, AllowedValues(cap), instead) && Allowed(cap, instead)) {
    Result result = cap.Apply(instead);
    if (result.rc == TWRC_SUCCESS) result.rc = TWRC_CHECKSTATUS;
    return result;
  }
  return Failed(TWCC_BADVALUE);
}

Result Negotiation::Constrain(Capability& cap, const Container& container)
{
  const TW_UINT16 type = cap.ItemType();
  std::vector<Raw> asked;
  if (container.conType == TWON_RANGE) {
    if (Number(type, container.minValue) > Number(type, container.maxValue))
      return Failed(TWCC_BADVALUE);
    for (Raw v : cap.Values())
      if (Number(type, v) >= Number(type, container.minValue) &&
          Number(type, v) <= Number(type, container.maxValue))
        asked.push_back(v);
  } else {
    for (Raw v : container.items) asked.push_back(cap.Plain(v));
  }
  std::vector<Raw> allowed;
  for (Raw v : cap.Values())
    if (Contains(asked, v) && cap.Choosable(v)) allowed.push_back(v);
  if (allowed.empty()) return Failed(TWCC_BADVALUE);
  // Values asked for that the source does not have are left out, and the
  // application is told to look.
  bool changed = false;
  for (Raw v : asked) changed = changed || !Contains(allowed, v);

  Raw target = allowed.front();
  if (container.conType == TWON_ENUMERATION && container.currentIndex < container.items.size())
    target = cap.Plain(container.items[container.currentIndex]);
  else if (container.conType == TWON_RANGE)
    target = container.currentValue;
  else if (container.conType == TWON_ONEVALUE)
    target = cap.Plain(container.items.front());
  if (!Contains(allowed, target)) {
    target = type == TWTY_FIX32 ? Nearest(type, allowed, target) : allowed.front();
    changed = true;
  }

  auto previous = constraints_.find(cap.Id());
  const bool hadConstraint = previous != constraints_.end();
  const std::vector<Raw> before = hadConstraint ? previous->second : std::vector<Raw>();
  constraints_[cap.Id()] = allowed;
  Result result = cap.Apply(target);
  if (result.rc == TWRC_FAILURE) {
    // Nothing of a failed negotiation stays.
    if (hadConstraint)
      constraints_[cap.Id()] = before;
    else
      constraints_.erase(cap.Id());
    return result;
  }
  if (changed && result.rc == TWRC_SUCCESS) result.rc = TWRC_CHECKSTATUS;
  return result;
}

Result Negotiation::Reset(Capability& cap, TW_CAPABILITY& capability)
{
  if (!cap.Settable()) return Failed(TWCC_CAPBADOPERATION);
  Raw fallback = 0;
  Result result = cap.Default(fallback);
  if (result.rc != TWRC_SUCCESS) return result;
  const auto constraint = constraints_.find(cap.Id());
  const bool hadConstraint = constraint != constraints_.end();
  const std::vector<Raw> before = hadConstraint ? constraint->second : std::vector<Raw>();
  constraints_.erase(cap.Id());
  result = cap.Restore(fallback);
  if (result.rc == TWRC_FAILURE) {
    if (hadConstraint) constraints_[cap.Id()] = before;
    return result;
  }
  // MSG_RESET answers with the value now in effect.
  const Result answered = Get(cap, MSG_GETCURRENT, capability);
  return answered.rc == TWRC_SUCCESS ? result : answered;
}

Result Negotiation::ResetAll()
{
  Result result = Done();
  for (auto& cap : caps_) {
    if (!cap->Settable()) continue;
    constraints_.erase(cap->Id());
    Raw fallback = 0;
    Result one = cap->Default(fallback);
    if (one.rc == TWRC_SUCCESS) one = cap->Restore(fallback);
    if (one.rc == TWRC_FAILURE && result.rc != TWRC_FAILURE) result = one;
  }
  return result;
}

}  // namespace twainds
