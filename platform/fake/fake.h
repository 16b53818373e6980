// The fake platform's controls. platform/fake implements the whole platform
// layer for the fuzz targets: the socket reads come from a script, sends are
// recorded, sleeps and waits return at once (advancing a clock of their
// own), dialogs are inert, and a message box or a process exit is a fault
// (no input may end the run or show anything).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace fake {

struct Datagram {
  bool nothing = false;  // the receive finds no datagram (would block)
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  std::vector<std::uint8_t> bytes;
};

struct Sent {
  std::uint32_t address;
  std::uint16_t port;
  std::vector<std::uint8_t> bytes;
};

// Receives taken in order; an empty script reads as "nothing received".
extern std::deque<Datagram> script;
// Called at a receive that finds the script empty, to add to it.
extern std::function<void()> refill;
// Called for each receive with what it returned (a copy of the datagram), and
// for each send, before it is recorded.
extern std::function<void(const Datagram& received, int result)> on_receive;
extern std::function<void(const Sent& sent)> on_send;
// Called when a sleep or a socket wait has let the tick count advance: the
// end of an idle pass.
extern std::function<void()> on_tick;
extern std::vector<Sent> sent;

// After the script has run out, this many more empty receives end the run by
// throwing ScriptEnded (negative: never). Lets a fuzz target skip most of a
// long idle tail; the buffer the receive was given comes with it.
extern int idle_tail_limit;
struct ScriptEnded {
  void* buffer;
};
// True once refill found nothing more to add.
extern bool exhausted;

// Empties the script and the record and removes the callbacks; the clock
// runs on.
void reset();

}  // namespace fake
