# -*- coding: utf-8 -*-
# The modules' logic against a fake qel-upgrade: each module runs as Ansible
# runs it (a process given its arguments as JSON, printing its result as
# JSON); the fake answers each call from a script and records what it got.
#   /usr/bin/python3 -m unittest discover -s tests/unit   (from the collection)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

try:
    import ansible  # noqa: F401  pylint: disable=unused-import
except ImportError:
    print('SKIPPED: ansible-core is not installed for /usr/bin/python3 (scripts/install-deps.sh)')
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTIONS = os.path.abspath(os.path.join(HERE, '..', '..', '..', '..', '..'))
PASSWORD = 'Pw-unit-4242'

FAKE = r'''#!/usr/bin/python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
calls = os.path.join(here, 'calls.jsonl')
n = sum(1 for _ in open(calls)) if os.path.exists(calls) else 0
with open(calls, 'a') as f:
    f.write(json.dumps({'argv': sys.argv[1:], 'stdin': sys.stdin.read(),
                        'env': '\n'.join('%s=%s' % kv for kv in os.environ.items())}) + '\n')
replies = json.load(open(os.path.join(here, 'replies.json')))
reply = replies[min(n, len(replies) - 1)]
sys.stdout.write(reply['stdout'])
sys.stderr.write(reply.get('stderr', ''))
sys.exit(reply['exit'])
'''


def outcome(result, **fields):
    values = dict(address='198.51.100.20', result=result, message='', version_before='5.1.2(GR)',
                  version_after=None, stages=1, seconds=1.5, product='QEL-742',
                  version_target='5.2.5', image_delivered=False)
    values.update(fields)
    return json.dumps(values) + '\n'


DRY = outcome('dry-run', message='QEL@198.51.100.20 would be upgraded from 5.1.2(GR) to 5.2.5')
CURRENT = outcome('current', message='already on 5.2.5', version_before='5.2.5',
                  version_after='5.2.5')
UPGRADED = outcome('upgraded', message='QEL@198.51.100.20 Upgrade Successful!',
                   version_after='5.2.5', seconds=40.0, image_delivered=True)


class ModuleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='qel-module-')
        self.binary = os.path.join(self.dir, 'qel-upgrade')
        with open(self.binary, 'w') as f:
            f.write(FAKE)
        os.chmod(self.binary, stat.S_IRWXU)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_module(self, name, replies, check_mode=False, diff=False, **args):
        """The module's result and the fake's calls."""
        with open(os.path.join(self.dir, 'replies.json'), 'w') as f:
            json.dump([dict(stdout=r[0], exit=r[1], stderr=r[2] if len(r) > 2 else '')
                       for r in replies], f)
        args.setdefault('binary', self.binary)
        args.update(_ansible_check_mode=check_mode, _ansible_diff=diff)
        path = os.path.join(self.dir, 'args.json')
        with open(path, 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': args}, f)
        ran = subprocess.run(
            [sys.executable, '-m', 'ansible_collections.qel.firmware.plugins.modules.' + name, path],
            env=dict(os.environ, PYTHONPATH=COLLECTIONS), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        self.output = ran.stdout + ran.stderr
        result = json.loads(ran.stdout)
        calls = []
        if os.path.exists(os.path.join(self.dir, 'calls.jsonl')):
            with open(os.path.join(self.dir, 'calls.jsonl')) as f:
                calls = [json.loads(line) for line in f]
        return result, calls

    def upgrade(self, replies, **args):
        args.setdefault('address', '198.51.100.20')
        return self.run_module('upgrade', replies, **args)


class UpgradeTest(ModuleTest):
    def test_a_current_device_is_ok_after_one_dry_run(self):
        result, calls = self.upgrade([(CURRENT, 0)], diff=True)
        self.assertFalse(result['changed'])
        self.assertNotIn('failed', result)
        self.assertEqual(result['result'], 'current')
        self.assertEqual(len(calls), 1)
        self.assertIn('--dry-run', calls[0]['argv'])
        self.assertNotIn('--force', calls[0]['argv'])
        self.assertEqual(result['diff']['before'], result['diff']['after'])

    def test_check_mode_runs_only_the_dry_run(self):
        result, calls = self.upgrade([(DRY, 0), (UPGRADED, 0)], check_mode=True, diff=True)
        self.assertTrue(result['changed'])
        self.assertEqual(result['result'], 'dry-run')
        self.assertEqual([c['argv'][:2] for c in calls], [['upgrade', '198.51.100.20']])
        self.assertIn('--dry-run', calls[0]['argv'])
        self.assertEqual(result['diff'], {'before': 'software_version: 5.1.2(GR)\n',
                                          'after': 'software_version: 5.2.5\n'})
        result, calls = self.upgrade([(CURRENT, 0)], check_mode=True)
        self.assertFalse(result['changed'])

    def test_upgraded_with_the_password_on_a_pipe_only(self):
        result, calls = self.upgrade([(DRY, 0), (UPGRADED, 0)], password=PASSWORD, user='root',
                                     local_address='198.51.100.10', diff=True)
        self.assertTrue(result['changed'])
        self.assertNotIn('failed', result)
        self.assertEqual(result['result'], 'upgraded')
        self.assertEqual(result['version_after'], '5.2.5')
        self.assertEqual(result['message'], 'QEL@198.51.100.20 Upgrade Successful!')
        self.assertEqual(result['seconds'], 41.5)  # the dry run's and the upgrade's
        self.assertEqual(result['diff']['after'], 'software_version: 5.2.5\n')
        self.assertEqual(len(calls), 2)
        self.assertIn('--dry-run', calls[0]['argv'])
        self.assertNotIn('--dry-run', calls[1]['argv'])
        for call in calls:
            argv = call['argv']
            self.assertIn('--yes', argv)
            self.assertEqual(argv[argv.index('--password-file') + 1], '-')
            self.assertEqual(argv[argv.index('--user') + 1], 'root')
            self.assertEqual(argv[argv.index('--local') + 1], '198.51.100.10')
            self.assertEqual(call['stdin'], PASSWORD + '\n')
            self.assertNotIn(PASSWORD, ' '.join(argv) + call['env'])
        self.assertNotIn(PASSWORD, self.output)
        self.assertEqual(os.listdir(self.dir).count('args.json'), 1)
        self.assertEqual(len(os.listdir(self.dir)), 4, 'a file was left behind')

    def test_without_a_password_nothing_is_asked(self):
        result, calls = self.upgrade([(DRY, 0), (UPGRADED, 0)])
        self.assertNotIn('--password-file', calls[0]['argv'])
        self.assertEqual(calls[0]['stdin'], '')

    def test_force_upgrades_a_current_device(self):
        forced_dry = outcome('dry-run', version_before='5.2.5')
        result, calls = self.upgrade([(forced_dry, 0), (UPGRADED, 0)], force=True)
        self.assertTrue(result['changed'])
        self.assertTrue(all('--force' in c['argv'] for c in calls))

    def test_each_failure_fails_with_the_programs_message(self):
        no_response = 'Upgrade Failed: No Response From QEL'
        cases = [
            # (upgrade's reply, exit code, result, changed)
            (outcome('failed', message='Upgrade Failed: Firmware Upload Incomplete'), 1, 'failed',
             False),
            (outcome('aborted', message='Upgrade Failed: User Abort'), 3, 'aborted', False),
            (outcome('unreachable', message=no_response), 4, 'unreachable', False),
            (outcome('unverified', message=no_response, image_delivered=True), 5, 'unverified',
             True),
            (outcome('failed', message="Upgrade Failed: Can't bind TFTP listener socket"), 6,
             'failed', False),
        ]
        for reply, code, expected, changed in cases:
            with self.subTest(expected=expected, code=code):
                os.remove(os.path.join(self.dir, 'calls.jsonl')) if os.path.exists(
                    os.path.join(self.dir, 'calls.jsonl')) else None
                result, calls = self.upgrade([(DRY, 0), (reply, code, 'progress\n')])
                self.assertTrue(result['failed'])
                self.assertEqual(result['changed'], changed)
                self.assertEqual(result['result'], expected)
                self.assertEqual(result['msg'], json.loads(reply)['message'])
                self.assertEqual(result['rc'], code)
                self.assertEqual(len(calls), 2)

    def test_a_dry_run_that_fails_sends_nothing_more(self):
        result, calls = self.upgrade(
            [(outcome('unreachable', message='QEL@198.51.100.20 did not answer within 120 s'), 4),
             (UPGRADED, 0)])
        self.assertTrue(result['failed'])
        self.assertFalse(result['changed'])
        self.assertEqual(result['result'], 'unreachable')
        self.assertEqual(result['msg'], 'QEL@198.51.100.20 did not answer within 120 s')
        self.assertEqual(len(calls), 1)

    def test_the_program_missing(self):
        result, _ = self.upgrade([(DRY, 0)], binary=os.path.join(self.dir, 'nowhere'))
        self.assertTrue(result['failed'])
        self.assertIn('is not an executable file', result['msg'])
        result, _ = self.upgrade([(DRY, 0)], binary='qel-upgrade-not-installed')
        self.assertTrue(result['failed'])
        self.assertIn('was not found in PATH', result['msg'])

    def test_garbage_from_the_program_fails_the_task(self):
        for stdout, code in [('Segmentation fault\n', 139), ('', 0), ('{"result": "great"}\n', 0),
                             ('[1, 2]\n', 0), (DRY + 'trailing words\n', 0)]:
            with self.subTest(stdout=stdout):
                result, _ = self.upgrade([(stdout, code, 'last words\n')])
                self.assertTrue(result['failed'])
                self.assertFalse(result['changed'])
                self.assertEqual(result['result'], 'failed')
                self.assertIn('printed no result (exit code %d): last words' % code, result['msg'])

    def test_a_password_on_two_lines_is_refused_before_anything_runs(self):
        result, calls = self.upgrade([(DRY, 0)], password='one\ntwo')
        self.assertTrue(result['failed'])
        self.assertEqual(calls, [])


class ScanTest(ModuleTest):
    def test_devices_are_returned_and_nothing_changes(self):
        lines = ('{"address":"198.51.100.20","product":null,"software_version":null,"mac":null,'
                 '"password_required":true}\n'
                 '{"address":"198.51.100.21","product":"QEL-200","software_version":"3.4.5",'
                 '"mac":"00:0E:08:AA:BB:01","password_required":false}\n')
        result, calls = self.run_module('scan', [(lines, 0)], check_mode=True,
                                        prefixes=['198.51.100.0/24', '203.0.113.7'])
        self.assertFalse(result['changed'])
        self.assertEqual(calls[0]['argv'], ['scan', '198.51.100.0/24', '203.0.113.7', '--json'])
        self.assertEqual(result['devices'][0]['password_required'], True)
        self.assertEqual(result['devices'][1], {'address': '198.51.100.21', 'product': 'QEL-200',
                                                'software_version': '3.4.5',
                                                'mac': '00:0E:08:AA:BB:01',
                                                'password_required': False})
        result, calls = self.run_module('scan', [('', 0)])
        self.assertEqual(result['devices'], [])

    def test_usage_errors_and_garbage_fail(self):
        result, _ = self.run_module('scan', [('', 2, 'qel-upgrade scan: 10.0.0.0/8 is more than a /22\n')],
                                    prefixes=['10.0.0.0/8'])
        self.assertTrue(result['failed'])
        self.assertEqual(result['msg'], 'qel-upgrade scan: 10.0.0.0/8 is more than a /22')
        result, _ = self.run_module('scan', [('<html>\n', 0)])
        self.assertTrue(result['failed'])


if __name__ == '__main__':
    unittest.main()
