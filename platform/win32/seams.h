// The seam of the Win32 platform for the console program's tests under Wine:
// the test clock, as platform/posix/seams.h has it. It exists only in
// qel_platform_console_testable (built with QEL_TEST_SEAMS); the product's
// qel_platform and qel_platform_console have none.
#pragma once
#include <cstdint>

#if !QEL_TEST_SEAMS
#error "the seams are in qel_platform_console_testable only: give the program qel_use_test_seams()"
#endif

// Runs the program's time faster: clock_ms counts from the process's start
// and advances scale times faster than real time; sleeps and socket waits
// last 1/scale of their argument. offset is added to the clock.
void seam_set_clock(double scale, std::uint32_t offset);
// Back to the real clock: the multimedia timer.
void seam_clear_clock();
