// Time and the pseudo-random generator.
#pragma once
#include <cstdint>

// The millisecond clock (timeGetTime): 32 bits, wrapping after 2^32 ms.
std::uint32_t clock_ms();

// The timer tick that every sleep and socket wait follows: 1/64 s
// (15.625 ms), the default system timer of the platform the wizard was made
// for. The waits end on a tick on every build, whatever timer resolution the
// process has, so that work counted in waits (the TFTP resend and give-up
// intervals, the bar animations) takes the same time everywhere.
inline constexpr std::uint32_t CLOCK_TICKS_PER_SECOND = 64;

// Ticks since an arbitrary origin: 32 bits, wrapping.
std::uint32_t clock_tick();

// True once the tick count has reached `tick` (either side of the wrap).
inline bool clock_tick_reached(std::uint32_t tick) {
  return static_cast<std::int32_t>(clock_tick() - tick) >= 0;
}

// Sleeps at least the time given and up to the next tick: sleep_ms(1) lasts
// one tick when called right after another sleep, and 32 lasts three.
void sleep_ms(std::uint32_t milliseconds);

// The standard library's generator: seeded once, results 0..32767.
void random_seed(unsigned seed);
int random_next();
