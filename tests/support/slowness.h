// Deadlines on slow builds. The sanitizers make every program several times
// slower, and CI runs two tests at once on two busy cores: a wait that is a
// wide margin on the default build is a narrow one there. Every bound that
// means "long enough for it to happen" is scaled here, from one factor; a
// time in which something must NOT happen is left as it is.
#pragma once

#include <chrono>
#include <string>

namespace simtest {

// How many times longer than on the default build things may take: the
// build's own factor (QEL_TEST_TIME_SCALE, which CMake derives from the
// sanitizer flags), or QEL_TEST_TIME_SCALE from the environment when set.
double time_scale();

// A bound on a wait for something that will happen, scaled.
std::chrono::milliseconds patient(std::chrono::milliseconds bound);
// The same in seconds, as the simulator's flags take them ("1.5").
std::string patient_seconds(double seconds);
// A count of fixed intervals that bounds a wait (resends before giving up).
int patient_count(int count);

// The scripted wizard's "clock" and "timeout" lines: the clock as asked, the
// run limit scaled. The clock stays: the wizard's timeouts it shortens (a
// resend after 80 ms at 20 times, the restart's 1.5 s) are still far above
// what a slow build adds to a packet's way, and slowing it would multiply
// the time of every test that waits one out.
std::string clock_and_limit(double scale, int limit_ms);

}  // namespace simtest
