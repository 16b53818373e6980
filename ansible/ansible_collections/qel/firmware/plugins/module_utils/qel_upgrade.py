# -*- coding: utf-8 -*-
# Runs the qel-upgrade command line for the modules and reads its JSON: the
# program does the work, these modules never speak to a device themselves.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import ipaddress
import json
import os
import re
import signal
import subprocess
import time

# Enough of standard error to explain a failure without flooding the output.
STDERR_TAIL = 4000
# After Ctrl-C (the wizard's Cancel) the program gets this long to end on its own.
CANCEL_GRACE_SECONDS = 30
# After SIGKILL, how long the pipes are read while a descendant may hold them.
READ_AFTER_KILL_SECONDS = 5
# Dotted decimal only: anything else (an option, a host name) never reaches the program.
IPV4 = re.compile(r'^[0-9]{1,3}(\.[0-9]{1,3}){3}$')
IPV4_PREFIX = re.compile(r'^[0-9]{1,3}(\.[0-9]{1,3}){3}(/[0-9]{1,2})?$')


def is_ipv4(text, prefix_allowed=False):
    """Whether text is an IPv4 address (A.B.C.D) or, with prefix_allowed, A.B.C.D/N."""
    if not (IPV4_PREFIX if prefix_allowed else IPV4).match(text or ''):
        return False
    try:
        ipaddress.IPv4Network(text, strict=False)
    except ValueError:
        return False
    return True


def timeout_minutes(module, default):
    """The task's time limit in minutes, or fails the module."""
    minutes = module.params['timeout']
    if minutes is None:
        return default
    if minutes < 1:
        module.fail_json(msg='timeout must be at least 1 minute')
    return minutes


def find_binary(module, binary):
    """The program's path, or fails the module with a clear message."""
    if '/' in binary:
        if os.path.isfile(binary) and os.access(binary, os.X_OK):
            return binary
        module.fail_json(msg='%s is not an executable file: is qel-upgrade installed on %s?'
                         % (binary, os.uname()[1]), result='failed')
    found = module.get_bin_path(binary)
    if not found:
        module.fail_json(msg='%s was not found in PATH on %s: install the qel-upgrade package there'
                         % (binary, os.uname()[1]), result='failed')
    return found


def run(command, stdin_text, time_limit_seconds):
    """Runs command with stdin_text on a pipe; returns (exit code, stdout,
    stderr, timed_out). Past the time limit the program is cancelled as by
    Ctrl-C, then killed; whatever still holds its pipes then (a process it
    started) is waited for only briefly."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, close_fds=True)
    timed_out = False
    try:
        out, err = process.communicate(stdin_text.encode('utf-8'), timeout=time_limit_seconds)
    except subprocess.TimeoutExpired:
        timed_out = True
        process.send_signal(signal.SIGINT)
        try:
            out, err = process.communicate(timeout=CANCEL_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            try:
                out, err = process.communicate(timeout=READ_AFTER_KILL_SECONDS)
            except subprocess.TimeoutExpired:
                process.wait()
                out, err = b'', b''
    return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace'), timed_out


def json_lines(text):
    """Each line of text that is a JSON object; None when a line is not."""
    objects = []
    for line in text.splitlines():
        if not line.strip():
            continue
        try:
            parsed = json.loads(line)
        except ValueError:
            return None
        if not isinstance(parsed, dict):
            return None
        objects.append(parsed)
    return objects


def stderr_tail(text):
    text = text.strip()
    return text if len(text) <= STDERR_TAIL else '...' + text[-STDERR_TAIL:]


def no_result_message(binary, code, err, timed_out, minutes):
    """What to say when the program printed no usable result."""
    if timed_out:
        return '%s gave no result within %s minutes and was stopped' % (binary, minutes)
    last = [line for line in err.strip().splitlines() if line.strip()]
    return '%s printed no result (exit code %s)%s' % (binary, code, ': ' + last[-1] if last else '')


def monotonic():
    return time.monotonic()
