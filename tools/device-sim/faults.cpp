#include "faults.h"

namespace sim {

AckFaultPlan::AckFaultPlan(const Config& cfg) : cfg_(cfg), rng_(cfg.seed) {}

bool AckFaultPlan::hit(const AckSelector& sel, uint32_t block, bool first) {
  if (first && sel.blocks.count(block)) return true;
  // Draw only for probabilities, so block lists leave the seeded sequence alone.
  return sel.probability > 0.0 &&
         std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < sel.probability;
}

AckFaults AckFaultPlan::decide(uint32_t block) {
  bool first = seen_.insert(block).second;
  AckFaults f;
  f.drop = hit(cfg_.ack_drop, block, first);
  if (f.drop) return f;
  f.duplicate = hit(cfg_.ack_dup, block, first);
  f.delay = hit(cfg_.ack_delay, block, first);
  f.reorder = block > 0 && hit(cfg_.ack_reorder, block, first);
  return f;
}

}  // namespace sim
