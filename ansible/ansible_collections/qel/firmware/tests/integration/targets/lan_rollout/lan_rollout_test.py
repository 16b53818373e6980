# -*- coding: utf-8 -*-
# Real ansible-playbook runs (connection local, as a site's runner runs them)
# against the simulated devices of the project's scripts/lab.sh, started by
# runme.sh:
#   scripts/lab.sh 6 password,current,never-return,plain,plain,late -- \
#       /usr/bin/python3 lan_rollout_test.py --testable QEL-UPGRADE-TESTABLE \
#       --collection COLLECTION-SOURCE
# The program runs on a clock 20 times faster, through a wrapper script given
# as the modules' binary, so that its waits for the device's reboot are short.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = '5.2.5'
PASSWORD = 'lab'  # the lab's password device
# The lab's hosts (inventory.yml): what each is, by the kinds runme.sh gives.
DEVICES = {'locked': 'lab-20', 'current': 'lab-21', 'gone': 'lab-22', 'plain': 'lab-23',
           'spare': 'lab-24', 'late': 'lab-25'}
ADDRESS = dict((name, '198.51.100.%s' % host[4:]) for name, host in DEVICES.items())
FOUR = ('locked', 'current', 'gone', 'plain')  # the test's own plays; spare is for the example

failures = []


def check(condition, what, detail=''):
    print('%s %s' % ('ok  ' if condition else 'FAIL', what))
    if not condition:
        failures.append(what)
        if detail:
            print('     ' + str(detail)[:3000])


def sim_log(name):
    try:
        with open(os.path.join(os.environ['LAB'], 'logs', ADDRESS[name] + '.log'),
                  errors='replace') as f:
            return f.read()
    except IOError:
        return ''


def asked_for_upgrade(name):
    log = sim_log(name)
    return '/admin/upgrade' in log or 'UPGRADE ' in log


def environment(work, **extra):
    env = dict(os.environ, ANSIBLE_NOCOLOR='1', ANSIBLE_FORCE_COLOR='0',
               ANSIBLE_LOCAL_TEMP=os.path.join(work, 'tmp'),
               ANSIBLE_REMOTE_TEMP=os.path.join(work, 'remote-tmp'), ANSIBLE_RETRY_FILES_ENABLED='0',
               ANSIBLE_DEPRECATION_WARNINGS='0')
    env.update(extra)
    return env


def ansible(work, name, command, env):
    began = time.monotonic()
    ran = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, cwd=work)
    print('[ measured ] %s: %.1f s (exit %d)' % (name, time.monotonic() - began, ran.returncode))
    with open(os.path.join(work, name + '.out'), 'w') as f:
        f.write(ran.stdout)
    return ran


def playbook(work, wrapper, name, *flags, **kwargs):
    """The test's own play, with the lab's copy of the collection."""
    hosts = kwargs.get('hosts', FOUR)
    results = os.path.join(work, name + '.json')
    command = ['ansible-playbook', '-i', os.path.join(os.environ['LAB'], 'inventory.yml'),
               os.path.join(HERE, 'rollout.yml'), '-e', 'results_file=' + results,
               '-e', 'qel_binary=' + wrapper, '--limit', ','.join(DEVICES[n] for n in hosts)
               + ',localhost'] + list(flags)
    ran = ansible(work, name, command, environment(work))
    try:
        with open(results) as f:
            written = json.load(f)
    except (IOError, ValueError):
        written = {'scan': None, 'devices': {}}
    written['devices'] = dict((n, written['devices'].get(h)) for n, h in DEVICES.items())
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
    parser.add_argument('--collection', required=True)
    args = parser.parse_args()
    if 'LAB' not in os.environ:
        sys.exit('run me under scripts/lab.sh')

    work = tempfile.mkdtemp(prefix='qel-ansible-')
    os.chmod(work, 0o700)
    wrapper = os.path.join(work, 'qel-upgrade')
    with open(wrapper, 'w') as f:
        f.write('#!/bin/sh\nQEL_UPGRADE_TEST_CLOCK_SCALE=20 exec "%s" "$@"\n' % os.path.abspath(args.testable))
    os.chmod(wrapper, 0o700)
    try:
        own_plays(work, wrapper)
        as_users_get_it(work, wrapper, args.collection)
    finally:
        if failures:
            print('outputs kept in ' + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print('%d failed' % len(failures) if failures else 'all passed')
    return 1 if failures else 0


def own_plays(work, wrapper):
    # First, while it is still switched off (for 20 s after the lab started):
    # a device that does not answer is waited for (keep_trying, in minutes of
    # the program's clock, 20 times faster), then upgraded once.
    ran, got = playbook(work, wrapper, 'late', '-e', 'keep_trying=30', hosts=('late',))
    r = got['devices'].get('late') or {}
    check(r.get('changed') is True and r.get('result') == 'upgraded' and not r.get('failed'),
          'a device switched on late is upgraded (keep_trying)', r)
    check((r.get('attempts') or 0) >= 3 and 'UP after=' in sim_log('late'),
          'it was tried before it came up, the dry run and the upgrade counted', r)
    check(sim_log('late').count('UPGRADE request') == 1, 'one upgrade request',
          sim_log('late')[-2000:])

    # Check mode: the scan, and only dry runs.
    ran, got = playbook(work, wrapper, 'check', '--check', '--diff', '-e', 'scan=true')
    devices = (got.get('scan') or {}).get('devices') or []
    check([d['address'] for d in devices] == sorted(ADDRESS.values()),
          'scan finds every device', devices)
    by_address = dict((d['address'], d) for d in devices)
    plain = by_address.get(ADDRESS['plain'], {})
    check(plain.get('product') == 'QEL-742' and plain.get('software_version') == '5.1.2(GR)'
          and plain.get('password_required') is False and bool(plain.get('mac')),
          'scan gives the device fields', plain)
    check(len(set(d.get('mac') for d in devices if d.get('mac'))) == 5,
          'each lab device has its own MAC address', devices)
    locked = by_address.get(ADDRESS['locked'], {})
    check(locked.get('password_required') is True and locked.get('product') is None,
          'scan shows the device behind a password', locked)
    check(not (got.get('scan') or {}).get('changed', True), 'scan is never changed')
    results = got['devices']
    for name in ('plain', 'locked', 'gone'):
        r = results.get(name) or {}
        check(r.get('changed') is True and r.get('result') == 'dry-run'
              and not r.get('failed'), 'check mode: %s would be upgraded' % name, r)
    r = results.get('current') or {}
    check(r.get('changed') is False and r.get('result') == 'current',
          'check mode: current stays ok', r)
    check('-software_version: 5.1.2(GR)' in ran.stdout and '+software_version: 5.2.5'
          in ran.stdout, 'check mode shows the diff', ran.stdout[-3000:])
    check(not any(asked_for_upgrade(n) for n in FOUR), 'check mode sends no upgrade request')

    # The upgrade, with the most verbose output.
    ran, got = playbook(work, wrapper, 'upgrade', '-vvv')
    results = got['devices']
    for name in ('plain', 'locked'):
        r = results.get(name) or {}
        check(r.get('changed') is True and r.get('result') == 'upgraded'
              and r.get('version_before') == '5.1.2(GR)' and r.get('version_after') == TARGET
              and r.get('message') == 'QEL@%s Upgrade Successful!' % ADDRESS[name],
              '%s is upgraded (changed)' % name, r)
        check('REBOOT done version=' + TARGET in sim_log(name), '%s reflashed to the target' % name,
              sim_log(name)[-2000:])
    r = results.get('current') or {}
    check(r.get('changed') is False and r.get('result') == 'current' and not r.get('failed'),
          'a current device is ok', r)
    check(not asked_for_upgrade('current'), 'a current device is left alone')
    r = results.get('gone') or {}
    check(r.get('failed') is True and r.get('result') == 'unverified'
          and r.get('changed') is True and r.get('msg') == 'Upgrade Failed: No Response From QEL'
          and r.get('code'), 'a device that never returns fails with the program\'s message', r)
    counts = recap(ran.stdout)
    check(counts.get('lab-22', {}).get('failed') == 1 and counts.get('lab-23', {}).get('changed') == 1
          and counts.get('lab-21', {}).get('changed') == 0, 'the recap says so', counts)
    check(ran.returncode == 2, 'ansible-playbook exits 2 for the failed host', ran.returncode)
    # "lab" is in every host name: the password would show as a quoted value.
    check('"%s"' % PASSWORD not in ran.stdout and "'%s'" % PASSWORD not in ran.stdout
          and 'VALUE_SPECIFIED_IN_NO_LOG_PARAMETER' in ran.stdout,
          'the password is nowhere in the -vvv output')
    check('<task path' in ran.stdout.lower() or 'ESTABLISH LOCAL CONNECTION' in ran.stdout,
          'the output is the verbose one')



def as_users_get_it(work, wrapper, collection):
    """Built with ansible-galaxy, installed into an empty folder, the example
    rollout run from there."""
    built = os.path.join(work, 'built')
    installed = os.path.join(work, 'installed')
    os.mkdir(installed)
    env = environment(work, ANSIBLE_COLLECTIONS_PATH=installed, ANSIBLE_HOME=os.path.join(work, 'home'))
    ran = ansible(work, 'build', ['ansible-galaxy', 'collection', 'build', collection,
                                  '--output-path', built], env)
    tarballs = glob.glob(os.path.join(built, 'qel-firmware-*.tar.gz'))
    check(ran.returncode == 0 and len(tarballs) == 1, 'ansible-galaxy builds the collection',
          ran.stdout)
    if not tarballs:
        return
    ran = ansible(work, 'install', ['ansible-galaxy', 'collection', 'install', tarballs[0],
                                    '-p', installed], env)
    installed_playbook = os.path.join(installed, 'ansible_collections', 'qel', 'firmware',
                                      'playbooks', 'rollout.yml')
    check(ran.returncode == 0 and os.path.isfile(installed_playbook),
          'the tarball installs into an empty folder', ran.stdout)
    check(not glob.glob(os.path.join(installed, 'ansible_collections', 'qel', 'firmware',
                                     'tests', 'output')), 'the tarball carries no test output')
    example = ['ansible-playbook', '-i', os.path.join(os.environ['LAB'], 'inventory.yml'),
               'qel.firmware.rollout', '-e', 'qel_binary=' + wrapper]

    # A canary that fails: the rollout stops, the summary is still printed, and
    # the program's message appears once in the failure, without its progress lines.
    ran = ansible(work, 'example-stop', example + ['--limit', 'lab-22,lab-24,lab-pc,localhost'], env)
    fatal = [line for line in ran.stdout.splitlines() if line.startswith('fatal: [lab-22')]
    check(len(fatal) == 1 and fatal[0].count('Upgrade Failed') + fatal[0].count('did not') == 1
          and '"stderr' not in fatal[0] and '"message"' not in fatal[0],
          'a failed canary says the program\'s message once', fatal or ran.stdout[-3000:])
    check('lab-24 (198.51.100.24): not attempted' in ran.stdout
          and 'TASK [Totals]' in ran.stdout, 'after a failed canary the summary is printed',
          ran.stdout[-3000:])
    check(ran.returncode == 2 and not asked_for_upgrade('spare'),
          'after a failed canary nothing more starts and the run fails', ran.returncode)

    # The rest: the example from the installed copy upgrades what is left, and
    # leaves alone what the test's play upgraded (a second run changes nothing).
    ran = ansible(work, 'example', example + ['--limit', 'all:!lab-22:localhost'], env)
    check(ran.returncode == 0 and 'current: 4, upgraded: 1' in ran.stdout
          and 'REBOOT done version=' + TARGET in sim_log('spare'),
          'the installed example rollout upgrades the rest', ran.stdout[-3000:])
    check('lab-24 (198.51.100.24): upgraded 5.1.2(GR) -> 5.2.5 QEL@198.51.100.24 Upgrade '
          'Successful! (2 attempts)' in ran.stdout, 'the summary shows the attempts',
          ran.stdout[-3000:])
    counts = recap(ran.stdout)
    check(all(counts.get(DEVICES[n], {}).get('changed') == 0
              for n in ('plain', 'locked', 'current', 'late'))
          and counts.get('lab-24', {}).get('changed') == 1, 'what was done stays done', counts)
    check(sim_log('plain').count('UPGRADE request') == 1 and not asked_for_upgrade('current'),
          'no second upgrade request', sim_log('plain')[-2000:])


def check_tools():
    for tool in ('ansible-playbook', 'ansible-galaxy'):
        if not shutil.which(tool):
            print('%s is not installed (scripts/install-deps.sh)' % tool)
            return False
    return True


if __name__ == '__main__':
    sys.exit(main() if check_tools() else 1)
