// Seams of the POSIX platform for tests and the scripted harness. The product
// never calls these; each replaces one source of outside input.
#pragma once
#include <cstdint>

// Replaces the resolver: the next look-ups return these addresses (host byte
// order), or no host entry at all when resolves is false.
void seam_set_host_addresses(const std::uint32_t* addresses, int count, bool resolves);
void seam_clear_host_addresses();

// Adds or replaces a resource by number and type (the bytes are not copied and
// must outlive their use); a null data pointer removes it, so that the look-up
// fails even for a built-in resource.
void seam_set_resource(int number, const char* type, const unsigned char* data,
                       std::uint32_t size);
void seam_clear_resources();

// Runs the program's time faster: clock_ms advances scale times faster than
// real time and sleep_ms sleeps 1/scale of its argument. offset is added to
// the clock (to test the 32-bit wrap).
void seam_set_clock(double scale, std::uint32_t offset);

// Called by process_exit before the process ends (to flush a transcript).
using ExitHook = void (*)(int code);
void seam_set_exit_hook(ExitHook hook);

// Receives every trace point, formatted.
using TraceSink = void (*)(const char* text);
void seam_set_trace_sink(TraceSink sink);

// Makes the next thread_start calls fail (to test the reporting).
void seam_fail_thread_start(bool fail);
