// `qel-upgrade upgrade`: the whole wizard for one device, its dialogs
// answered from the command line by a front-end on the dialog layer.
#pragma once
#include <chrono>
#include <string>

namespace admin {

struct UpgradeOptions {
  std::string address;  // as typed: the wizard's address entry checks it
  std::string local;    // empty: the PC's address on the device's subnet
  std::string user = "admin";
  std::string password_file;  // empty: asked on the terminal when the device wants one
  bool yes = false;
  bool dry_run = false;
  bool json = false;
  bool force = false;             // upgrade a device already on the target version too
  bool exit_with_parent = false;  // the fleet's children end when the fleet does
  // Until the device answers (and no other run holds it) for this long,
  // with backoff; 0: one try.
  std::chrono::seconds keep_trying{0};
};

// Runs the upgrade and ends the process with the documented exit code; it
// returns only for a usage error found before the wizard started.
int run_upgrade(const UpgradeOptions& options);

}  // namespace admin
