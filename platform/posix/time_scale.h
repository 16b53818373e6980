// Internal to the POSIX platform: the test time scale shared by the clock and
// the socket waits.
#pragma once

double posix_time_scale();
