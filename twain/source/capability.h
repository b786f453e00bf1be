// Capability negotiation: what every capability answers to each message of
// DAT_CAPABILITY, written once; the capabilities themselves say only what
// their values are and how one is made current (capability_table.cpp).
//
// The containers are TWAIN 2.x's: MSG_GET answers an enumeration of the
// values the application may set now (the value in effect always among
// them), or one value for a capability that has only one; MSG_GETCURRENT,
// MSG_GETDEFAULT and MSG_RESET answer one value. An application of TWAIN
// 1.x gets what 1.x sources gave: a boolean's MSG_GET in one value, and the
// resolutions as a range (whose values in between are taken as the nearest
// resolution the scanner has).
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/containers.h"

namespace twainds {

// The container MSG_GET answers with.
enum class Shape { kOneValue, kEnumeration, kRange };

class Capability {
 public:
  Capability(TW_UINT16 id, TW_UINT16 itemType, Shape shape)
      : id_(id), type_(itemType), shape_(shape)
  {
  }
  virtual ~Capability() = default;

  TW_UINT16 Id() const { return id_; }
  TW_UINT16 ItemType() const { return type_; }
  // MSG_GET's container for an application of TWAIN 2.x or 1.x.
  Shape GetShape(bool twain2) const;
  // Its values are a set the application may constrain.
  virtual bool Constrainable() const { return shape_ != Shape::kOneValue && Settable(); }

  // The value in effect (it may have to be asked of the scanner).
  virtual Result Current(Raw& value) = 0;
  // The value MSG_RESET returns to: the one TWAIN defines, else this
  // source's own choice, never what an earlier application left.
  virtual Result Default(Raw& value) = 0;
  // Every value an enumeration may hold, in order.
  virtual std::vector<Raw> Values() { return {}; }
  // Whether the application may set `value`.
  virtual bool Choosable(Raw) { return false; }
  // Makes a choosable value current: SUCCESS, or CHECKSTATUS when the
  // scanner took another one.
  virtual Result Apply(Raw) { return Failed(TWCC_CAPBADOPERATION); }
  // Makes the default current for MSG_RESET and MSG_RESETALL. Nothing the
  // scanner keeps for the user changes by a reset: only a MSG_SET does.
  virtual Result Restore(Raw value) { return Apply(value); }
  // A value the application set that is none of `allowed`: the one taken
  // instead (TWRC_CHECKSTATUS), or false when it is refused.
  virtual bool Instead(Raw, const std::vector<Raw>&, Raw&) { return false; }
  // A value as the source compares it (a boolean's any non-zero is TRUE).
  virtual Raw Plain(Raw value) const;
  // A range's step (applications of TWAIN 1.x only).
  virtual Raw Step() { return 0; }

  // Whether MSG_SET and MSG_RESET apply to it at all.
  virtual bool Settable() const { return false; }

 private:
  TW_UINT16 id_, type_;
  Shape shape_;
};

// A value as a number, for ranges and their order.
double Number(TW_UINT16 itemType, Raw value);
// The value of `values` nearest to `value` as a number.
Raw Nearest(TW_UINT16 itemType, const std::vector<Raw>& values, Raw value);
// Whether `value` lies between the smallest and the largest of `values`.
bool Within(TW_UINT16 itemType, const std::vector<Raw>& values, Raw value);

// The capabilities of one open source, and the application's constraints on
// them (MSG_SETCONSTRAINT, or MSG_SET with an enumeration or a range).
class Negotiation {
 public:
  explicit Negotiation(const Memory& memory) : memory_(memory) {}

  // Whether the application speaks TWAIN 2.x (MSG_OPENDS tells).
  void SpeakTwain2(bool twain2) { twain2_ = twain2; }
  bool Twain2() const { return twain2_; }

  void Add(std::unique_ptr<Capability> capability);
  // Capabilities answered elsewhere (arrays of their own) still count as
  // supported ones.
  void AddListed(TW_UINT16 id) { listed_.push_back(id); }
  std::vector<TW_UINT16> Supported() const;
  Capability* Find(TW_UINT16 id);

  // One DAT_CAPABILITY message on a capability of the table.
  Result Handle(TW_UINT16 message, TW_CAPABILITY& capability);
  // MSG_RESETALL: every settable capability back to its default.
  Result ResetAll();
  // Forgets the constraint of one capability (another one changed what it
  // may hold).
  void Unconstrain(TW_UINT16 id) { constraints_.erase(id); }
  // Whether the application's constraint on capability `id` (if any)
  // admits `value`.
  bool Permits(TW_UINT16 id, Raw value) const
  {
    const auto constraint = constraints_.find(id);
    return constraint == constraints_.end() ||
           std::find(constraint->second.begin(), constraint->second.end(), value) !=
               constraint->second.end();
  }

 private:
  Result Get(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability);
  Result Set(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability);
  Result Reset(Capability& cap, TW_CAPABILITY& capability);
  Result Choose(Capability& cap, Raw value);
  Result Constrain(Capability& cap, const Container& container);
  // The values the application may set now.
  bool Allowed(Capability& cap, Raw value);
  std::vector<Raw> AllowedValues(Capability& cap);
  // What MSG_GET lists: the allowed values and the one in effect.
  std::vector<Raw> Offered(Capability& cap, Raw current);
  TW_UINT32 QuerySupport(Capability& cap);

  const Memory& memory_;
  bool twain2_ = true;
  std::vector<std::unique_ptr<Capability>> caps_;
  std::vector<TW_UINT16> listed_;
  std::map<TW_UINT16, std::vector<Raw>> constraints_;
};

}  // namespace twainds
