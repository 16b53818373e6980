// Internal to the platform: what each side adds to the portable threads
// (portable/thread.cpp): whether thread_start must fail now (a test seam of
// the POSIX side; never on Windows).
#pragma once

bool thread_start_refused();
