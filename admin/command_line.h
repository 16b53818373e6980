// The administrators' subcommands of qel-upgrade: scan, upgrade, fleet.
// They sit at the edge, like the dialog front-ends: the upgrade runs the real
// wizard with its dialogs answered from the command line.
#pragma once

// True for "scan", "upgrade" and "fleet".
bool admin_is_subcommand(const char* word);

// Runs the subcommand in argv[1] and returns the process exit code (some
// paths end the process themselves, with the code the subcommand documents).
// program: the name --help shows.
int admin_main(int argc, char** argv, const char* program = "qel-upgrade");
