// Decides which TFTP acknowledgements get a fault.
#pragma once

#include <cstdint>
#include <random>
#include <set>

#include "config.h"

namespace sim {

struct AckFaults {
  bool drop = false;
  bool duplicate = false;
  bool delay = false;
  bool reorder = false;
};

class AckFaultPlan {
 public:
  explicit AckFaultPlan(const Config& cfg);
  // `block` counts from 0 (the OACK's ACK) without wrapping at 65536.
  // Block lists fire on the first ACK of a block only, so a listed drop
  // still lets the retransmission through; probabilities apply to every ACK.
  AckFaults decide(uint32_t block);

 private:
  bool hit(const AckSelector& sel, uint32_t block, bool first);

  const Config& cfg_;
  std::mt19937_64 rng_;
  std::set<uint32_t> seen_;
};

}  // namespace sim
