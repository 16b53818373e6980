# -*- coding: utf-8 -*-
# How the modules run the program: its time limit is a bound even for a
# program that ignores its Cancel and leaves a process holding its pipes.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import subprocess
import time

from ansible_collections.qel.firmware.plugins.module_utils import qel_upgrade


def test_a_program_that_ignores_its_cancel_is_killed_after_the_grace_time(tmp_path, monkeypatch):
    ready = str(tmp_path / 'ready')
    interrupted = []

    class LateProcess(subprocess.Popen):
        """Its time limit runs out once the program is ready to ignore SIGINT."""
        def communicate(self, input=None, timeout=None):
            if interrupted:
                return super(LateProcess, self).communicate(input, timeout)
            while True:
                try:
                    return super(LateProcess, self).communicate(input, 0.1)
                except subprocess.TimeoutExpired:
                    input = None
                    if os.path.exists(ready):
                        interrupted.append(True)
                        raise

    monkeypatch.setattr(subprocess, 'Popen', LateProcess)
    monkeypatch.setattr(qel_upgrade, 'CANCEL_GRACE_SECONDS', 0.5)
    monkeypatch.setattr(qel_upgrade, 'READ_AFTER_KILL_SECONDS', 0.5)
    # The shell's sleep outlives the shell and keeps its standard output open:
    # without a bound on reading after the kill, run() would wait for it.
    began = time.monotonic()
    code, out, err, timed_out = qel_upgrade.run(
        ['/bin/sh', '-c', 'trap "" INT; echo started; : >"$0"; sleep 600', ready], '', 3600)
    assert timed_out is True
    assert code == -9  # SIGKILL, after the ignored SIGINT
    assert time.monotonic() - began < 120, 'run() waited for the sleep (600 s)'
