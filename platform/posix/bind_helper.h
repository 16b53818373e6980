// Internal to the POSIX platform: where the port helper (qel-upgrade-bind,
// platform/posix/bind_helper.cpp) is. The program never holds the right to
// the TFTP ports itself; when a bind is refused for want of it, the helper,
// which may hold it, binds in its place.
#pragma once
#include <string>

// The group whose members the installed helper admits (root:GROUP, 754).
inline constexpr const char* POSIX_BIND_GROUP = "qel-upgrade";

// The helper's real path, or "" when there is none: next to this program
// (a build tree, or the desktop program beside it), else where the package
// installs it relative to the program's folder (../libexec/qel-upgrade/).
const std::string& posix_bind_helper_path();
