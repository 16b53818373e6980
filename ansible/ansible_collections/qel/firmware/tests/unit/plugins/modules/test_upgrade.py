# -*- coding: utf-8 -*-
# qel.firmware.upgrade against the fake program of conftest.py.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import subprocess

import pytest

from ansible.module_utils import basic
from ansible_collections.qel.firmware.plugins.modules import upgrade as upgrade_module
from ansible_collections.qel.firmware.tests.unit.plugins.modules.conftest import outcome

PASSWORD = 'Pw-unit-4242'
DRY = outcome('dry-run', message='QEL@198.51.100.20 would be upgraded from 5.1.2(GR) to 5.2.5')
CURRENT = outcome('current', message='already on 5.2.5', version_before='5.2.5',
                  version_after='5.2.5')
UPGRADED = outcome('upgraded', message='QEL@198.51.100.20 Upgrade Successful!',
                   version_after='5.2.5', seconds=40.0, image_delivered=True)
NO_RESPONSE = 'Upgrade Failed: No Response From QEL'


def upgrade(fake, replies, **args):
    args.setdefault('address', '198.51.100.20')
    return fake.run('upgrade', replies, **args)


def test_a_current_device_is_ok_after_one_dry_run(fake):
    result, calls = upgrade(fake, [(CURRENT, 0)], diff=True)
    assert result['changed'] is False and 'failed' not in result
    assert result['result'] == 'current'
    assert len(calls) == 1
    assert '--dry-run' in calls[0]['argv'] and '--force' not in calls[0]['argv']
    assert result['diff']['before'] == result['diff']['after']


def test_check_mode_runs_only_the_dry_run(fake):
    result, calls = upgrade(fake, [(DRY, 0), (UPGRADED, 0)], check_mode=True, diff=True)
    assert result['changed'] is True
    assert result['result'] == 'dry-run'
    assert [c['argv'][:2] for c in calls] == [['upgrade', '198.51.100.20']]
    assert '--dry-run' in calls[0]['argv']
    assert result['diff'] == {'before': 'software_version: 5.1.2(GR)\n',
                              'after': 'software_version: 5.2.5\n'}
    result, calls = upgrade(fake, [(CURRENT, 0)], check_mode=True)
    assert result['changed'] is False


def test_upgraded_with_the_password_on_a_pipe_only(fake):
    result, calls = upgrade(fake, [(DRY, 0), (UPGRADED, 0)], password=PASSWORD, user='root',
                            local_address='198.51.100.10', diff=True)
    assert result['changed'] is True and 'failed' not in result
    assert result['result'] == 'upgraded'
    assert result['version_after'] == '5.2.5'
    assert result['message'] == 'QEL@198.51.100.20 Upgrade Successful!'
    assert 'code' not in result  # a failure's
    assert result['seconds'] == 41.5  # the dry run's and the upgrade's
    assert result['diff']['after'] == 'software_version: 5.2.5\n'
    assert result['attempts'] == 0  # the fake says nothing of them
    assert len(calls) == 2
    assert '--dry-run' in calls[0]['argv'] and '--dry-run' not in calls[1]['argv']
    for call in calls:
        argv = call['argv']
        assert '--yes' in argv
        assert argv[argv.index('--password-file') + 1] == '-'
        assert argv[argv.index('--user') + 1] == 'root'
        assert argv[argv.index('--local') + 1] == '198.51.100.10'
        assert call['stdin'] == PASSWORD + '\n'
        assert PASSWORD not in ' '.join(argv) + call['env']
    assert PASSWORD not in fake.output
    assert sorted(os.listdir(fake.dir)) == ['args.json', 'calls.jsonl', 'qel-upgrade',
                                            'replies.json'], 'a file was left behind'


def test_keep_trying_is_passed_on_and_the_attempts_are_counted(fake):
    dry = outcome('dry-run', attempts=4)
    done = outcome('upgraded', message='QEL@198.51.100.20 Upgrade Successful!',
                   version_after='5.2.5', image_delivered=True, attempts=1)
    result, calls = upgrade(fake, [(dry, 0), (done, 0)], keep_trying=90)
    assert result['changed'] is True and result['result'] == 'upgraded'
    assert result['attempts'] == 5  # the dry run's tries and the upgrade's
    waits = []
    for call in calls:
        argv = call['argv']
        value = argv[argv.index('--keep-trying') + 1]
        assert value.endswith('s') and value[:-1].isdigit(), value
        waits.append(int(value[:-1]))
    # What is left of the 90 minutes, each time.
    assert 90 * 60 - 60 <= waits[0] <= 90 * 60 and waits[1] <= waits[0]
    result, calls = upgrade(fake, [(dry, 0), (done, 0)])
    assert all('--keep-trying' not in c['argv'] for c in calls)
    assert result['attempts'] == 5


def test_without_a_password_nothing_is_asked(fake):
    result, calls = upgrade(fake, [(DRY, 0), (UPGRADED, 0)])
    assert '--password-file' not in calls[0]['argv']
    assert calls[0]['stdin'] == ''


def test_force_upgrades_a_current_device(fake):
    result, calls = upgrade(fake, [(outcome('dry-run', version_before='5.2.5'), 0), (UPGRADED, 0)],
                            force=True)
    assert result['changed'] is True
    assert all('--force' in c['argv'] for c in calls)


@pytest.mark.parametrize('reply, code, expected, changed', [
    (outcome('failed', message='Upgrade Failed: Firmware Upload Incomplete',
             code='upload-incomplete'), 1, 'failed', False),
    (outcome('aborted', message='Upgrade Failed: User Abort', code='user-abort'), 3, 'aborted',
     False),
    (outcome('unreachable', message=NO_RESPONSE, code='no-response'), 4, 'unreachable', False),
    (outcome('unverified', message=NO_RESPONSE, image_delivered=True, code='no-response'), 5,
     'unverified', True),
    (outcome('failed', message="Upgrade Failed: Can't bind TFTP listener socket",
             code='listener-bind'), 6, 'failed', False),
    # Another run on this PC holds the device: not started here, nothing changed.
    (outcome('busy', message='198.51.100.20 is being upgraded by another run (process 4242)'), 7,
     'busy', False),
], ids=['failed', 'aborted', 'unreachable', 'unverified', 'no-port', 'busy'])
def test_each_failure_fails_with_the_programs_message_once(fake, reply, code, expected, changed):
    progress = ''.join('[upload %d%%] Uploading\n' % n for n in range(60))
    result, calls = upgrade(fake, [(DRY, 0), (reply, code, progress)])
    assert result['failed'] is True
    assert result['changed'] is changed
    assert result['result'] == expected
    assert result['msg'] == json.loads(reply)['message']
    assert result['code'] == json.loads(reply)['code']
    assert result['rc'] == code
    assert len(calls) == 2
    # The message once (msg), no progress lines: a failed canary stays readable.
    assert 'message' not in result and 'stderr' not in result
    result, _ = upgrade(fake, [(DRY, 0), (reply, code, progress)], verbosity=1)
    assert result['stderr'].endswith('[upload 59%] Uploading')


def test_a_dry_run_that_fails_sends_nothing_more(fake):
    result, calls = upgrade(
        fake, [(outcome('unreachable', message='QEL@198.51.100.20 did not answer within 120 s'), 4),
               (UPGRADED, 0)])
    assert result['failed'] is True and result['changed'] is False
    assert result['result'] == 'unreachable'
    assert result['msg'] == 'QEL@198.51.100.20 did not answer within 120 s'
    assert len(calls) == 1


def test_the_program_missing(fake):
    result, _ = upgrade(fake, [(DRY, 0)], binary=os.path.join(fake.dir, 'nowhere'))
    assert result['failed'] is True
    assert 'is not an executable file' in result['msg']
    result, _ = upgrade(fake, [(DRY, 0)], binary='qel-upgrade-not-installed')
    assert result['failed'] is True
    assert 'was not found in PATH' in result['msg']


@pytest.mark.parametrize('stdout, code', [
    ('Segmentation fault\n', 139), ('', 0), ('{"result": "great"}\n', 0), ('[1, 2]\n', 0),
    (DRY + 'trailing words\n', 0)], ids=['crash', 'nothing', 'unknown-result', 'no-object',
                                         'trailing-text'])
def test_garbage_from_the_program_fails_the_task(fake, stdout, code):
    result, _ = upgrade(fake, [(stdout, code, 'last words\n')])
    assert result['failed'] is True and result['changed'] is False
    assert result['result'] == 'failed'
    assert 'printed no result (exit code %d): last words' % code in result['msg']


@pytest.mark.parametrize('args', [
    dict(password='one\ntwo'),
    # Addresses that the program would read as options, or that are no IPv4 address.
    dict(address='--help'), dict(address='-h'), dict(address='198.51.100.2O'),
    dict(address='198.51.100.256'), dict(address='198.51.100'), dict(address='qel.example.net'),
    dict(address=' 198.51.100.20'), dict(local_address='--json'),
    dict(timeout=0), dict(keep_trying=-1), dict(keep_trying=7 * 24 * 60 + 1),
], ids=lambda args: repr(args))
def test_bad_arguments_are_refused_before_anything_runs(fake, args):
    result, calls = upgrade(fake, [(DRY, 0)], **args)
    assert result['failed'] is True
    assert calls == []


def test_too_little_time_after_the_dry_run_starts_no_upgrade(fake):
    # A minute's timeout: whatever the dry run took, less than a minute is left.
    result, calls = upgrade(fake, [(DRY, 0), (UPGRADED, 0)], timeout=1)
    assert result['failed'] is True and result['changed'] is False
    assert result['result'] == 'not-started'
    assert 'the upgrade was not started' in result['msg'] and 'raise timeout' in result['msg']
    assert len(calls) == 1 and '--dry-run' in calls[0]['argv']


@pytest.mark.parametrize('reply, code, expected, changed', [
    (outcome('unverified', message=NO_RESPONSE, image_delivered=True, code='no-response'), 5,
     'unverified', True),
    (outcome('aborted', message='Upgrade Failed: User Abort', code='user-abort'), 3, 'aborted',
     False),
], ids=['image-delivered', 'image-not-delivered'])
def test_at_the_time_limit_the_programs_result_counts(fake, monkeypatch, capsys, reply, code,
                                                      expected, changed):
    # In this process, so that the time limit can run out as soon as the fake
    # (which answers only when interrupted, as the program does) is ready for it.
    ready = os.path.join(fake.dir, 'ready')

    class LateProcess(subprocess.Popen):
        def communicate(self, input=None, timeout=None):
            if getattr(self, 'interrupted', False) or timeout is None:
                return super(LateProcess, self).communicate(input, timeout)
            while True:
                try:
                    return super(LateProcess, self).communicate(input, 0.1)
                except subprocess.TimeoutExpired:
                    input = None  # written on the first call
                    if os.path.exists(ready):
                        self.interrupted = True
                        raise

    fake.script([(DRY, 0), (reply, code, 'interrupted\n', True)])
    monkeypatch.setattr(basic, '_ANSIBLE_ARGS', json.dumps(fake.module_args(
        dict(address='198.51.100.20', timeout=20))).encode())
    monkeypatch.setattr(subprocess, 'Popen', LateProcess)
    with pytest.raises(SystemExit):
        upgrade_module.main()
    result = json.loads(capsys.readouterr().out)
    assert result['failed'] is True
    assert result['changed'] is changed
    assert result['result'] == expected
    assert result['image_delivered'] is json.loads(reply)['image_delivered']
    assert result['msg'] == "stopped at the task's time limit (20 minutes): " + json.loads(
        reply)['message']
    assert result['rc'] == code
