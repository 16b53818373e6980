#include "platform/clock.h"

#include "platform/fake/fake.h"
#include "platform/fake/internal.h"

namespace fake {
std::function<void()> on_tick;
}

namespace {
std::uint32_t fake_clock = 0;
std::uint32_t fake_tick = 0;
unsigned fake_random = 1;
}  // namespace

void fake_advance_to_tick(std::uint32_t tick) {
  auto ahead = static_cast<std::int32_t>(tick - fake_tick);
  if (ahead <= 0) return;
  fake_clock += static_cast<std::uint32_t>(ahead) * 15625u / 1000u;
  fake_tick = tick;
  if (fake::on_tick) fake::on_tick();
}

std::uint32_t fake_tick_after(std::uint32_t milliseconds) {
  return fake_tick + (milliseconds * 1000u + 15624u) / 15625u;
}

std::uint32_t clock_ms() { return fake_clock; }
std::uint32_t clock_tick() { return fake_tick; }
void sleep_ms(std::uint32_t milliseconds) { fake_advance_to_tick(fake_tick_after(milliseconds)); }

void random_seed(unsigned seed) { fake_random = seed; }
int random_next() {
  fake_random = fake_random * 1103515245u + 12345u;
  return static_cast<int>((fake_random >> 16) & 0x7fff);
}
