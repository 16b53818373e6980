// Seams of the POSIX platform for tests and the scripted harness. The product
// never calls these; each replaces one source of outside input.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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

// Called by process_exit before the process ends (to flush a transcript).
using ExitHook = void (*)(int code);
void seam_set_exit_hook(ExitHook hook);

// Receives every trace point, formatted.
using TraceSink = void (*)(const char* text);
void seam_set_trace_sink(TraceSink sink);

// Makes the next thread_start calls fail (to test the reporting).
void seam_fail_thread_start(bool fail);

// One IPv4 address of an interface, as the POSIX address list reads it.
struct InterfaceAddress {
  std::string name;
  unsigned index;         // interface order
  std::uint32_t address;  // host byte order
  bool up;
  bool loopback;
};
// The order the PC's addresses are offered in (exposed for its tests).
std::vector<std::uint32_t> order_interface_addresses(std::vector<InterfaceAddress> found,
                                                     const std::string& default_interface);
