// Capability negotiation: what every capability answers to each message of
// DAT_CAPABILITY, written once; the capabilities themselves say only what
// their values are and how one is made current (capability_table.cpp).
#pragma once

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
  Shape GetShape() const { return shape_; }

  // The value in effect (it may have to be asked of the scanner).
  virtual Result Current(Raw& value) = 0;
  // The value MSG_RESET returns to.
  virtual Result Default(Raw& value) = 0;
  // Every value an enumeration or range may hold, in order.
  virtual std::vector<Raw> Values() { return {}; }
  // Whether the application may set `value`.
  virtual bool Choosable(Raw) { return false; }
  // Makes a choosable value current: SUCCESS, or CHECKSTATUS when the
  // scanner took another one.
  virtual Result Apply(Raw) { return Failed(TWCC_CAPBADOPERATION); }
  // A range's step.
  virtual Raw Step() { return 0; }

  // Whether MSG_SET and MSG_RESET apply to it at all.
  virtual bool Settable() const { return false; }

 private:
  TW_UINT16 id_, type_;
  Shape shape_;
};

// A value as a number, for ranges and their order.
double Number(TW_UINT16 itemType, Raw value);

// The capabilities of one open source, and the application's constraints on
// them (MSG_SET or MSG_SETCONSTRAINT with an enumeration or a range).
class Negotiation {
 public:
  explicit Negotiation(const Memory& memory) : memory_(memory) {}

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

 private:
  Result Get(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability);
  Result Set(Capability& cap, TW_UINT16 message, TW_CAPABILITY& capability);
  Result Reset(Capability& cap, TW_CAPABILITY& capability);
  Result Choose(Capability& cap, Raw value);
  Result Constrain(Capability& cap, const Container& container);
  // The values the application may set now.
  bool Allowed(Capability& cap, Raw value);
  // What MSG_GET lists: the allowed values and those in effect.
  std::vector<Raw> Offered(Capability& cap, Raw current, Raw fallback);
  TW_UINT32 QuerySupport(Capability& cap);

  const Memory& memory_;
  std::vector<std::unique_ptr<Capability>> caps_;
  std::vector<TW_UINT16> listed_;
  std::map<TW_UINT16, std::vector<Raw>> constraints_;
};

}  // namespace twainds
