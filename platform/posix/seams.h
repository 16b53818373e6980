// Seams of the POSIX platform for tests, the scripted harness and the
// benchmark: each replaces one source of outside input. They exist only in
// qel_platform_testable (built with QEL_TEST_SEAMS); the product's
// qel_platform has none of them.
#pragma once
#include <cstdint>

#if !QEL_TEST_SEAMS
#error "the seams are in qel_platform_testable only: give the program qel_use_test_seams()"
#endif

// Replaces the PC's address list: the next calls of host_own_addresses return
// these addresses (host byte order), or no list at all when resolves is false.
void seam_set_host_addresses(const std::uint32_t* addresses, int count, bool resolves);
void seam_clear_host_addresses();

// Adds or replaces a resource by number and type (the bytes are not copied and
// must outlive their use); a null data pointer removes it, so that the look-up
// fails even for a built-in resource.
void seam_set_resource(int number, const char* type, const unsigned char* data, std::uint32_t size);
void seam_clear_resources();

// Runs the program's time faster: clock_ms counts from the process's start
// and advances scale times faster than real time and sleep_ms sleeps 1/scale of its argument.
// offset is added to the clock (to test the 32-bit wrap).
void seam_set_clock(double scale, std::uint32_t offset);
// Back to the real clock: milliseconds since the system started.
void seam_clear_clock();

// Receives every trace point, formatted.
using TraceSink = void (*)(const char* text);
void seam_set_trace_sink(TraceSink sink);

// Makes the next thread_start calls fail (to test the reporting).
void seam_fail_thread_start(bool fail);
