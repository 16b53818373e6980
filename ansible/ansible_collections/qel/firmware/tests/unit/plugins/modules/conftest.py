# -*- coding: utf-8 -*-
# The modules against a fake qel-upgrade: each module runs as Ansible runs it
# (a process given its arguments as JSON, printing its result as JSON) or, where
# a test must shorten the clock, in this process; the fake answers each call
# from a script and records what it got.
#   ansible-test units --local --python-interpreter /usr/bin/python3   (from the collection)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import stat
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTIONS = os.path.abspath(os.path.join(HERE, *['..'] * 7))

# A reply may wait for SIGINT (the module's Cancel) before it answers, as the
# program does when it is interrupted mid-upgrade.
FAKE = r'''#!/usr/bin/python3
import json, os, signal, sys, time
here = os.path.dirname(os.path.abspath(__file__))
calls = os.path.join(here, 'calls.jsonl')
n = sum(1 for _ in open(calls)) if os.path.exists(calls) else 0
with open(calls, 'a') as f:
    f.write(json.dumps({'argv': sys.argv[1:], 'stdin': sys.stdin.read(),
                        'env': '\n'.join('%s=%s' % kv for kv in os.environ.items())}) + '\n')
replies = json.load(open(os.path.join(here, 'replies.json')))
reply = replies[min(n, len(replies) - 1)]
def answer(*_):
    sys.stdout.write(reply['stdout'])
    sys.stderr.write(reply.get('stderr', ''))
    sys.stdout.flush()
    os._exit(reply['exit'])
if reply.get('until_sigint'):
    signal.signal(signal.SIGINT, answer)
    open(os.path.join(here, 'ready'), 'w').close()
    time.sleep(60)
    os._exit(99)
answer()
'''


def outcome(result, **fields):
    values = dict(address='198.51.100.20', result=result, message='', version_before='5.1.2(GR)',
                  version_after=None, stages=1, seconds=1.5, product='QEL-742',
                  version_target='5.2.5', image_delivered=False, code=None)
    values.update(fields)
    return json.dumps(values) + '\n'


class Fake(object):
    def __init__(self, folder):
        self.dir = str(folder)
        self.binary = os.path.join(self.dir, 'qel-upgrade')
        with open(self.binary, 'w') as f:
            f.write(FAKE)
        os.chmod(self.binary, stat.S_IRWXU)
        self.output = ''

    def script(self, replies):
        """replies: (stdout, exit code[, stderr[, until_sigint]]) for each call in turn."""
        calls = os.path.join(self.dir, 'calls.jsonl')
        if os.path.exists(calls):
            os.remove(calls)
        with open(os.path.join(self.dir, 'replies.json'), 'w') as f:
            json.dump([dict(stdout=r[0], exit=r[1], stderr=r[2] if len(r) > 2 else '',
                            until_sigint=len(r) > 3 and r[3]) for r in replies], f)

    def calls(self):
        path = os.path.join(self.dir, 'calls.jsonl')
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f]

    def module_args(self, args, check_mode=False, diff=False, verbosity=0):
        args = dict(args)
        args.setdefault('binary', self.binary)
        args.update(_ansible_check_mode=check_mode, _ansible_diff=diff,
                    _ansible_verbosity=verbosity)
        return {'ANSIBLE_MODULE_ARGS': args}

    def run(self, name, replies, check_mode=False, diff=False, verbosity=0, **args):
        """The module's result and the fake's calls, the module run as Ansible runs it."""
        self.script(replies)
        path = os.path.join(self.dir, 'args.json')
        with open(path, 'w') as f:
            json.dump(self.module_args(args, check_mode, diff, verbosity), f)
        ran = subprocess.run(
            [sys.executable, '-m', 'ansible_collections.qel.firmware.plugins.modules.' + name, path],
            env=dict(os.environ, PYTHONPATH=COLLECTIONS), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        self.output = ran.stdout + ran.stderr
        return json.loads(ran.stdout), self.calls()


@pytest.fixture
def fake(tmp_path):
    return Fake(tmp_path)
