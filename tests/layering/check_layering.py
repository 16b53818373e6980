#!/usr/bin/env python3
"""What each folder of the tree may include, by allow-list.

  core (app/ firmware/ http/ session/ tftp/ ui/)
      the standard library, the core, resources/ids.h and templates.h, and
      the platform layer's interface (platform/*.h); never asks which
      platform it is on
  platform/*.h           the standard library, itself, resources/
  platform/posix|win32   also that system's headers (on Windows, MinGW's
                         pthread.h too), its own folder and portable/,
                         what both sides share
  platform/portable|fake the standard library, the interface, its own folder
  admin/                 the standard library, CLI11 and nlohmann-json, the
                         core, the platform interface, the portable dialog
                         layer's front-end interface, frontends/common
  frontends/common       the standard library, the platform interface and
                         its dialog front-end interface, resources/
  frontends/X            also its toolkit, and POSIX headers (Linux
                         renderers); never another front-end
  programs/              what its program runs on; no platform's own files
                         (the scripted harness alone sets the test seams)
  resources/             itself
  tools/                 itself and the system: no code of the product
  tests/ bench/ fuzz/    the product and their own support; never the
                         simulator's code; only the fuzzers use the fake
                         platform, only the Windows probes the Win32 side's
Relative includes are resolved first. The compiler checks the core's own
order (session/layer.h).
Usage: check_layering.py SOURCE_DIR
"""
import os
import re
import subprocess
import sys

STD = set("""algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat
charconv chrono cinttypes climits clocale cmath codecvt compare complex concepts
condition_variable coroutine csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring
ctime cuchar cwchar cwctype deque exception execution expected filesystem format forward_list
fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch
limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue
random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span
sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread
tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant
vector version""".split())
WINDOWS = re.compile(r"^(windows|winsock2?|ws2tcpip|iphlpapi|aclapi|sddl|shlobj|shellapi|"
                     r"mmsystem|commctrl|io|winbase|winnt|lmcons|psapi|tlhelp32)\.h$", re.I)
CORE = ("app", "firmware", "http", "session", "tftp", "ui")
PLATFORM_TEST = re.compile(r"#\s*(if|ifdef|ifndef|elif)\b.*\b(_?WIN32|_WIN64|__linux__|__unix__|"
                           r"__APPLE__|_MSC_VER|__MINGW\w*|__CYGWIN__|_POSIX_VERSION)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def is_std(name):
    return name in STD


def interface(q):  # platform/x.h, one level only
    return re.fullmatch(r"platform/[a-z_]+\.h", q) is not None


def core_header(q):
    return q.split("/")[0] in CORE


def under(q, *folders):
    return any(q == f or q.startswith(f + "/") for f in folders)


def rules(path):
    """(what <...> may name, what "..." may name) for a file, or None."""
    top = path.split("/")[0]
    if top in CORE:
        return (is_std, lambda q: core_header(q) or interface(q)
                or q in ("resources/ids.h", "resources/templates.h"))
    if top == "platform":
        parts = path.split("/")
        if len(parts) == 2:
            return (is_std, lambda q: interface(q) or under(q, "resources"))
        own = "/".join(parts[:2])
        if parts[1] == "posix":
            angle = lambda a: is_std(a) or not WINDOWS.match(a)
        elif parts[1] == "win32":
            # MinGW's threads library: what its C++ runtime's threads are.
            angle = lambda a: is_std(a) or WINDOWS.match(a) or a in ("fcntl.h", "pthread.h")
        else:
            angle = is_std
        # What both sides share is portable/'s.
        shared = "platform/portable" if parts[1] in ("posix", "win32") else own
        return (angle, lambda q: interface(q) or under(q, own, shared, "resources"))
    if top == "admin":
        return (lambda a: is_std(a) or a.startswith(("CLI/", "nlohmann/")),
                lambda q: under(q, "admin", "frontends/common") or core_header(q) or interface(q)
                or q in ("platform/portable/frontend.h", "resources/ids.h",
                         "resources/templates.h"))
    if top == "frontends":
        own = "/".join(path.split("/")[:2])
        common = lambda q: (under(q, own, "frontends/common", "resources") or interface(q)
                            or q == "platform/portable/frontend.h")
        if own == "frontends/common":
            return (is_std, common)
        return (lambda a: is_std(a) or a.startswith(("Q", "nlohmann/")) or a == "newt.h"
                or not WINDOWS.match(a),
                lambda q: common(q) or q == "id_names.inc")
    if top == "programs":
        seams = path == "programs/qel_upgrade_scripted_main.cpp"
        return (lambda a: True,
                lambda q: under(q, "frontends", "resources") or core_header(q) or interface(q)
                or q in ("admin/command_line.h", "admin/help.h")
                or (seams and q == "platform/posix/seams.h"))
    if top == "resources":
        return (lambda a: True, lambda q: under(q, "resources"))
    if top == "tools":
        return (lambda a: True, lambda q: under(q, "tools"))
    if top in ("tests", "bench", "fuzz"):
        product = lambda q: (under(q, *CORE, "admin", "frontends", "resources", "programs")
                             or interface(q) or under(q, "platform/portable"))
        if top == "fuzz":
            return (lambda a: True, lambda q: product(q) or under(q, "fuzz", "platform/fake"))
        own = lambda q: (under(q, "tests", "support", "bench", "platform/posix/seams.h",
                               "platform/posix/interfaces.h", "platform/posix/time_scale.h")
                         or q.endswith((".inc", ".moc")))
        # The Windows probes drive the Win32 side's own internals under Wine.
        probe = lambda q: path.startswith("tests/wine/") and under(q, "platform/win32")
        return (lambda a: True, lambda q: product(q) or own(q) or probe(q))
    return None


def resolve(root, path, written):
    """The include as a path from the root: relative to the file when it is
    there (or climbs), else from the root."""
    here = os.path.dirname(path)
    beside = os.path.normpath(os.path.join(here, written))
    if written.startswith(".") or os.path.exists(os.path.join(root, beside)):
        return beside
    if path.startswith("tests/") and os.path.exists(os.path.join(root, "tests", written)):
        return os.path.normpath(os.path.join("tests", written))
    return os.path.normpath(written)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    files = subprocess.run(["git", "-C", root, "ls-files", "*.cpp", "*.h", "*.cc"],
                           capture_output=True, text=True).stdout.split()
    if not files:  # not a checkout: every source file under the root
        files = [os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root)
                 for f in fs if f.endswith((".cpp", ".h", ".cc"))]
    faults = []
    checked = 0
    for path in sorted(files):
        rule = rules(path)
        if rule is None or not os.path.exists(os.path.join(root, path)):
            continue
        checked += 1
        angle, quoted = rule
        top = path.split("/")[0]
        portable = top in CORE or top == "admin" or path in ("platform/" + os.path.basename(path),) \
            or path.startswith(("platform/portable/", "frontends/common/"))
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
            for number, line in enumerate(source, 1):
                where = f"{path}:{number}: {line.strip()}"
                if portable and PLATFORM_TEST.search(line):
                    faults.append(where + "  (asks which platform it is on)")
                found = INCLUDE.match(line)
                if not found:
                    continue
                kind, written = found.groups()
                if kind == "<":
                    if not angle(written):
                        faults.append(where + "  (a header this folder may not use)")
                    continue
                target = resolve(root, path, written)
                product = top not in ("tests", "bench", "fuzz", "tools")
                if product and under(target, "tests", "bench", "fuzz"):
                    faults.append(where + "  (the product includes a test)")
                elif target.startswith("..") or not quoted(target):
                    faults.append(where + f"  ({target}: outside what {top}/ may include)")
    for fault in faults:
        print(fault)
    if faults:
        print(f"layering: {len(faults)} include(s) against the layers")
        return 1
    if checked == 0:
        print("layering: no source file found")
        return 1
    print(f"layering: {checked} files, every include within its folder's allow-list")
    return 0


if __name__ == "__main__":
    sys.exit(main())
