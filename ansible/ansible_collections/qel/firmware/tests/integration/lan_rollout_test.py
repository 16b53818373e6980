# -*- coding: utf-8 -*-
# A real ansible-playbook run (connection local, as a site's runner runs it)
# against simulated devices on the LAN of the project's tests/lan/lan.sh:
#   lan.sh --devices 4 -- /usr/bin/python3 lan_rollout_test.py \
#       --testable QEL-UPGRADE-TESTABLE --sim QEL-DEVICE-SIM
# The program runs on a clock 20 times faster, through a wrapper script given
# as the modules' binary, so that the device's reboot waits are short.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTIONS = os.path.abspath(os.path.join(HERE, '..', '..', '..', '..', '..'))
PASSWORD = 'Pw-7f3c9e1d'
TARGET = '5.2.5'
DEVICES = {  # host: (address, simulator options)
    'plain': ('198.51.100.20', []),
    'locked': ('198.51.100.21', ['--password', PASSWORD, '--qop', 'auth']),
    'current': ('198.51.100.22', ['--software', TARGET]),
    'gone': ('198.51.100.23', ['--never-return']),
}

failures = []


def check(condition, what, detail=''):
    print('%s %s' % ('ok  ' if condition else 'FAIL', what))
    if not condition:
        failures.append(what)
        if detail:
            print('     ' + str(detail)[:3000])


def start_sims(sim, work):
    netns = os.environ['LAN_DEVICE_NETNS']
    sims = {}
    for host, (address, extra) in DEVICES.items():
        port_file = os.path.join(work, host + '.port')
        log = os.path.join(work, host + '.log')
        sims[host] = (subprocess.Popen(
            ['nsenter', '--net=' + netns, sim, '--allow-any-address', '--address', address,
             '--http-port', '80', '--port-file', port_file, '--log', log,
             '--reboot-seconds', '0.3', '--time-limit', '600'] + extra), log)
    deadline = time.monotonic() + 10
    for host in sims:
        while not os.path.exists(os.path.join(work, host + '.port')):
            if time.monotonic() > deadline:
                sys.exit('simulator %s did not start' % host)
            time.sleep(0.05)
    return sims


def sim_log(sims, host):
    try:
        with open(sims[host][1], errors='replace') as f:
            return f.read()
    except IOError:
        return ''


def asked_for_upgrade(sims, host):
    log = sim_log(sims, host)
    return '/admin/upgrade' in log or 'UPGRADE ' in log


def playbook(work, name, *flags):
    results = os.path.join(work, name + '.json')
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS, ANSIBLE_NOCOLOR='1',
               ANSIBLE_LOCAL_TEMP=os.path.join(work, 'tmp'),
               ANSIBLE_REMOTE_TEMP=os.path.join(work, 'remote-tmp'), ANSIBLE_RETRY_FILES_ENABLED='0',
               ANSIBLE_HOST_KEY_CHECKING='0', ANSIBLE_DEPRECATION_WARNINGS='0')
    command = ['ansible-playbook', '-i', os.path.join(work, 'inventory.ini'),
               os.path.join(HERE, 'rollout.yml'), '-e', 'results_file=' + results] + list(flags)
    began = time.monotonic()
    ran = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True)
    seconds = time.monotonic() - began
    print('[ measured ] %s: %.1f s (exit %d)' % (name, seconds, ran.returncode))
    with open(os.path.join(work, name + '.out'), 'w') as f:
        f.write(ran.stdout)
    try:
        with open(results) as f:
            written = json.load(f)
    except (IOError, ValueError):
        written = {'scan': None, 'devices': {}}
    return ran, written


def recap(output):
    """host: {ok: n, changed: n, failed: n, ...} from PLAY RECAP."""
    counts = {}
    seen = False
    for line in output.splitlines():
        if line.startswith('PLAY RECAP'):
            seen = True
            continue
        if seen and ':' in line and '=' in line:
            host, rest = line.split(':', 1)
            counts[host.strip()] = dict((k, int(v)) for k, v in
                                        (part.split('=') for part in rest.split()))
    return counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--testable', required=True)
    parser.add_argument('--sim', required=True)
    args = parser.parse_args()
    if 'LAN_DEVICE_NETNS' not in os.environ:
        sys.exit('run me under tests/lan/lan.sh')
    if not shutil.which('ansible-playbook'):
        print('SKIPPED: ansible-playbook is not installed (scripts/install-deps.sh)')
        return 77

    work = tempfile.mkdtemp(prefix='qel-ansible-')
    os.chmod(work, 0o700)
    wrapper = os.path.join(work, 'qel-upgrade')
    with open(wrapper, 'w') as f:
        f.write('#!/bin/sh\nQEL_UPGRADE_TEST_CLOCK_SCALE=20 exec "%s" "$@"\n' % os.path.abspath(args.testable))
    os.chmod(wrapper, 0o700)
    with open(os.path.join(work, 'inventory.ini'), 'w') as f:
        f.write('localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n'
                '[devices]\n')
        for host, (address, _) in DEVICES.items():
            f.write('%s ansible_host=%s%s\n' % (
                host, address, ' qel_password=' + PASSWORD if host == 'locked' else ''))
        f.write('[all:vars]\nqel_binary=%s\n' % wrapper)

    sims = start_sims(os.path.abspath(args.sim), work)
    try:
        # Check mode: the scan, and only dry runs.
        ran, got = playbook(work, 'check', '--check', '--diff', '-e', 'scan=true')
        devices = (got.get('scan') or {}).get('devices') or []
        check([d['address'] for d in devices] == [a for a, _ in DEVICES.values()],
              'scan finds every device', devices)
        by_address = dict((d['address'], d) for d in devices)
        plain = by_address.get('198.51.100.20', {})
        check(plain.get('product') == 'QEL-742' and plain.get('software_version') == '5.1.2(GR)'
              and plain.get('password_required') is False and bool(plain.get('mac')),
              'scan gives the device fields', plain)
        check(by_address.get('198.51.100.21', {}).get('password_required') is True
              and by_address['198.51.100.21'].get('product') is None,
              'scan shows the device behind a password', by_address.get('198.51.100.21'))
        check(not (got.get('scan') or {}).get('changed', True), 'scan is never changed')
        results = got['devices']
        for host in ('plain', 'locked', 'gone'):
            r = results.get(host) or {}
            check(r.get('changed') is True and r.get('result') == 'dry-run'
                  and not r.get('failed'), 'check mode: %s would be upgraded' % host, r)
        r = results.get('current') or {}
        check(r.get('changed') is False and r.get('result') == 'current',
              'check mode: current stays ok', r)
        check('-software_version: 5.1.2(GR)' in ran.stdout and '+software_version: 5.2.5'
              in ran.stdout, 'check mode shows the diff', ran.stdout[-3000:])
        check(not any(asked_for_upgrade(sims, h) for h in DEVICES),
              'check mode sends no upgrade request')

        # The rollout, with the most verbose output.
        ran, got = playbook(work, 'upgrade', '-vvv')
        results = got['devices']
        for host in ('plain', 'locked'):
            r = results.get(host) or {}
            check(r.get('changed') is True and r.get('result') == 'upgraded'
                  and r.get('version_before') == '5.1.2(GR)' and r.get('version_after') == TARGET
                  and r.get('message') == 'QEL@%s Upgrade Successful!' % DEVICES[host][0],
                  '%s is upgraded (changed)' % host, r)
            check('REBOOT done version=' + TARGET in sim_log(sims, host),
                  '%s reflashed to the target' % host, sim_log(sims, host)[-2000:])
        r = results.get('current') or {}
        check(r.get('changed') is False and r.get('result') == 'current' and not r.get('failed'),
              'a current device is ok', r)
        check(not asked_for_upgrade(sims, 'current'), 'a current device is left alone')
        r = results.get('gone') or {}
        check(r.get('failed') is True and r.get('result') == 'unverified'
              and r.get('changed') is True and r.get('msg') == 'Upgrade Failed: No Response From QEL',
              'a device that never returns fails with the program\'s message', r)
        counts = recap(ran.stdout)
        check(counts.get('gone', {}).get('failed') == 1 and counts.get('plain', {}).get('changed') == 1
              and counts.get('current', {}).get('changed') == 0, 'the recap says so', counts)
        check(ran.returncode == 2, 'ansible-playbook exits 2 for the failed host', ran.returncode)
        check(PASSWORD not in ran.stdout, 'the password is nowhere in the -vvv output')
        check('<task path' in ran.stdout.lower() or 'ESTABLISH LOCAL CONNECTION' in ran.stdout,
              'the output is the verbose one')

        # Again: nothing left to do.
        ran, got = playbook(work, 'again', '-vvv', '--limit', 'all:!gone')
        counts = recap(ran.stdout)
        check(ran.returncode == 0 and all(counts.get(h, {}).get('changed') == 0
                                          and counts.get(h, {}).get('failed') == 0
                                          for h in ('plain', 'locked', 'current')),
              'a second run is all ok', counts)
        check(all((got['devices'].get(h) or {}).get('result') == 'current'
                  for h in ('plain', 'locked', 'current')), 'a second run finds them current',
              got['devices'])
        check(PASSWORD not in ran.stdout, 'the password is nowhere in the second run\'s output')
        check(sim_log(sims, 'plain').count('UPGRADE request') == 1,
              'the second run sent no upgrade request', sim_log(sims, 'plain')[-2000:])
    finally:
        for process, _ in sims.values():
            process.terminate()
        for process, _ in sims.values():
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
        if failures:
            print('outputs kept in ' + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print('%d failed' % len(failures) if failures else 'all passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
