// Time and the pseudo-random generator.
#pragma once
#include <cstdint>

// The millisecond clock (timeGetTime): 32 bits, wrapping after 2^32 ms.
std::uint32_t clock_ms();
void sleep_ms(std::uint32_t milliseconds);

// The standard library's generator: seeded once, results 0..32767.
void random_seed(unsigned seed);
int random_next();
