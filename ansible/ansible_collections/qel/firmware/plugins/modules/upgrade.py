#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: upgrade
short_description: Upgrades a QEL device's firmware when it is not on the target version yet
description:
  - Runs C(qel-upgrade upgrade --json) on the host the task runs on, which must be on the
    device's subnet (a site's runner; use C(delegate_to)).
  - It first reads the device (a dry run). A device already on the target version is left
    alone and the task is C(ok) with I(result=current), unless I(force).
  - Otherwise the device is upgraded and the task is C(changed) with I(result=upgraded) once
    the device reports the target version. Any other outcome fails the task with the
    program's own message. A device that took the image but whose version could not be
    confirmed afterwards (I(result=unverified)) is both C(changed) and failed.
  - The password reaches the program on a pipe, never in its arguments, its environment or a
    file, and never in Ansible's output.
  - When I(timeout) runs out the upgrade is cancelled as by Ctrl-C and the task reports what
    the program said then; it is C(changed) if the device had taken the image.
version_added: 1.0.0
author:
  - qel-upgrade maintainers (@qel-upgrade)
options:
  address:
    description:
      - The device's IPv4 address (A.B.C.D).
    type: str
    required: true
  local_address:
    description:
      - The runner's IPv4 address toward the device. Default is the runner's address on the
        device's subnet.
    type: str
  user:
    description:
      - User name for the device's password.
    type: str
    default: admin
  password:
    description:
      - The device's password, when it asks for one.
      - Without it, a device that asks for a password fails the task.
    type: str
  force:
    description:
      - Upgrade a device that already runs the target version too.
    type: bool
    default: false
  keep_trying:
    description:
      - When the device does not answer (it is switched off, unplugged) or another run on the
        runner holds it, try again for up to this many minutes instead of failing at once
        (C(qel-upgrade upgrade --keep-trying)). The first try again comes after about 30
        seconds, each next one after twice as long, at most 15 minutes apart, each wait up to
        20% shorter or longer at random. Each try contacts the device afresh; once it answers
        it is upgraded once, and a device that answered and then failed is not tried again.
      - These minutes come on top of I(timeout), which is left for the upgrade itself.
      - Ansible has no maintenance window of its own. Start the playbook inside yours with the
        controller's scheduler (an AWX or Automation Controller schedule, cron), and keep
        I(keep_trying) within it.
    type: int
    version_added: 1.2.0
attributes:
  check_mode:
    description: Can run in check mode and return what would change.
    support: full
    details: Only the dry run; no upgrade request reaches the device.
  diff_mode:
    description: Returns details on what would change in diff mode.
    support: full
    details: The software version before and after.
notes:
  - Needs the qel-upgrade package on the host the task runs on, with the capability to bind
    UDP ports 69-168 (the package sets it), and a firewall that lets the device reach those
    ports.
  - At most 100 upgrades can run at once on one runner (one TFTP port each); use C(throttle).
  - The upgrade itself starts only when at least a minute of I(timeout) is left after the
    device was read (the program waits 30 seconds after the transfer, then for the device's
    reboot); otherwise the task fails with I(result=not-started) and nothing is sent to the
    device. Give I(timeout) 2 minutes or more for an upgrade.
  - Runs on one PC never work on the same device at once; a device another run is upgrading
    fails the task with I(result=busy), unchanged, unless I(keep_trying) waits for it.
seealso:
  - module: qel.firmware.scan
extends_documentation_fragment:
  - qel.firmware.program
'''

EXAMPLES = r'''
- name: Upgrade each device from its site's runner
  qel.firmware.upgrade:
    address: "{{ ansible_host }}"
    password: "{{ qel_password }}"
  delegate_to: "{{ site_runner }}"
  throttle: 50

- name: What would happen
  qel.firmware.upgrade:
    address: 198.51.100.20
  check_mode: true
  diff: true

- name: At night, waiting up to 6 hours for phones that are switched off
  qel.firmware.upgrade:
    address: "{{ ansible_host }}"
    keep_trying: 360
  delegate_to: "{{ site_runner }}"
'''

RETURN = r'''
address:
  description: The device's address.
  returned: always
  type: str
  sample: 198.51.100.20
result:
  description:
    - C(upgraded), C(current), C(dry-run) (check mode, an upgrade would happen), C(failed),
      C(aborted), C(unreachable), C(unverified), C(busy) (another run on the runner is
      upgrading this device) or C(not-started) (too little of I(timeout) was left).
  returned: always
  type: str
  sample: upgraded
message:
  description:
    - The program's message. When the task fails it is in C(msg) instead.
  returned: success
  type: str
  sample: QEL@198.51.100.20 Upgrade Successful!
code:
  description:
    - The program's failure code (as in the fleet's report), for example C(no-response);
      null when the program gave none.
  returned: failure
  type: str
  sample: no-response
rc:
  description: The program's exit code.
  returned: failure
  type: int
  sample: 5
product:
  description: The device's product name.
  returned: when the device was read
  type: str
  sample: QEL-742
version_before:
  description: The software version the device reported first.
  returned: when the device was read
  type: str
  sample: 5.1.2(GR)
version_after:
  description: The software version the device reported at the end.
  returned: when the device was read
  type: str
  sample: 5.2.5
version_target:
  description: The version of the firmware the program carries.
  returned: always
  type: str
  sample: 5.2.5
stages:
  description: How many transfers the upgrade takes.
  returned: when the device was read
  type: int
  sample: 1
seconds:
  description: How long the program ran, the dry run included.
  returned: always
  type: float
  sample: 41.2
image_delivered:
  description: Whether the device took the whole image.
  returned: always
  type: bool
  sample: true
attempts:
  description:
    - How many times the program contacted the device, the dry run's and the upgrade's tries
      together (more than 2 when I(keep_trying) waited for it; 0 when it never could).
  returned: always
  type: int
  sample: 2
  version_added: 1.2.0
stderr:
  description: The end of the program's standard error, when the task failed.
  returned: failure, with -v or more (its last line is in C(msg) when there was no result)
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qel.firmware.plugins.module_utils.qel_upgrade import (
    find_binary, is_ipv4, json_lines, monotonic, no_result_message, run, stderr_tail,
    timeout_minutes)

RESULTS = ('upgraded', 'current', 'dry-run', 'failed', 'aborted', 'unreachable', 'unverified',
           'busy')
FIELDS = ('address', 'product', 'version_before', 'version_after', 'version_target', 'stages',
          'image_delivered')
DEFAULT_TIMEOUT = 20
# Less than this left after the dry run and the upgrade is not started: it would
# be cut off while the device reflashes (30 s of waiting after the transfer,
# then the reboot), which leaves the device unverified.
MIN_UPGRADE_SECONDS = 60
# The program's own bound for --keep-trying (a week).
MAX_KEEP_TRYING = 7 * 24 * 60


class Runner:
    def __init__(self, module, minutes):
        self.module = module
        p = module.params
        self.minutes = minutes
        self.binary = find_binary(module, p['binary'])
        self.common = []
        if p['local_address']:
            self.common += ['--local', p['local_address']]
        self.stdin = ''
        if p['password'] is not None:
            # The program reads the first line of its standard input.
            self.common += ['--user', p['user'], '--password-file', '-']
            self.stdin = p['password'] + '\n'
        self.keep_trying = p['keep_trying'] or 0
        start = monotonic()
        self.keep_until = start + self.keep_trying * 60
        self.deadline = start + (minutes + self.keep_trying) * 60
        self.seconds = 0.0
        self.attempts = 0

    def upgrade(self, *flags):
        """One run of `upgrade`: its JSON object, or fails the task. Past the
        time limit the program is interrupted and what it says then counts."""
        p = self.module.params
        remaining = self.deadline - monotonic()
        patience = []
        if self.keep_trying:
            # What is left of it, in whole seconds: the dry run may have used some.
            left = int(self.keep_until - monotonic())
            if left >= 1:
                patience = ['--keep-trying', '%ds' % left]
        command = ([self.binary, 'upgrade', p['address'], '--yes', '--json'] + list(flags) +
                   patience + self.common)
        code, out, err, timed_out = run(command, self.stdin, max(1.0, remaining))
        objects = json_lines(out)
        if not objects or objects[-1].get('result') not in RESULTS:
            self.fail(dict(result='failed', image_delivered=None), rc=code, stderr=err,
                      msg=no_result_message(p['binary'], code, err, timed_out, self.minutes))
        outcome = objects[-1]
        try:
            self.seconds += float(outcome.get('seconds') or 0)
        except (TypeError, ValueError):
            pass
        try:
            self.attempts += max(0, int(outcome.get('attempts') or 0))
        except (TypeError, ValueError):
            pass
        if timed_out:
            outcome['message'] = 'stopped at the task\'s time limit (%d minutes): %s' % (
                self.minutes, outcome.get('message') or outcome.get('result'))
        outcome['_rc'] = code
        outcome['_stderr'] = err
        return outcome

    def report(self, outcome):
        values = dict((f, outcome.get(f)) for f in FIELDS)
        values['address'] = values['address'] or self.module.params['address']
        values['result'] = outcome.get('result')
        values['message'] = outcome.get('message') or ''
        values['seconds'] = round(self.seconds, 2)
        values['attempts'] = self.attempts
        return values

    def fail(self, outcome, changed=False, stderr='', **extra):
        values = self.report(outcome)
        values['code'] = outcome.get('code')
        # The message once, as msg; standard error (progress lines) only when asked for.
        msg = extra.pop('msg', None) or values.pop('message') or values['result']
        values.pop('message', None)
        if self.module._verbosity >= 1 and stderr:
            extra['stderr'] = stderr_tail(stderr)
        self.module.fail_json(msg=msg, changed=changed, **dict(values, **extra))

    def diff(self, before, after):
        if not self.module._diff:
            return {}
        return dict(diff=dict(before='software_version: %s\n' % (before or ''),
                              after='software_version: %s\n' % (after or '')))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            address=dict(type='str', required=True),
            local_address=dict(type='str'),
            user=dict(type='str', default='admin'),
            password=dict(type='str', no_log=True),
            force=dict(type='bool', default=False),
            keep_trying=dict(type='int'),
            binary=dict(type='str', default='qel-upgrade'),
            timeout=dict(type='int'),
        ),
        supports_check_mode=True,
    )
    p = module.params
    minutes = timeout_minutes(module, DEFAULT_TIMEOUT)
    for name in ('address', 'local_address'):
        if p[name] is not None and not is_ipv4(p[name]):
            module.fail_json(msg='%s must be an IPv4 address (A.B.C.D), not %r' % (name, p[name]),
                             result='failed')
    if p['password'] is not None and ('\n' in p['password'] or '\r' in p['password']):
        module.fail_json(msg='the password must be a single line')
    if p['keep_trying'] is not None and not 0 <= p['keep_trying'] <= MAX_KEEP_TRYING:
        module.fail_json(msg='keep_trying takes 0 to %d minutes' % MAX_KEEP_TRYING)
    runner = Runner(module, minutes)
    force = ['--force'] if p['force'] else []

    # First read the device: nothing is sent to it yet.
    dry = runner.upgrade('--dry-run', *force)
    if dry['result'] not in ('dry-run', 'current'):
        runner.fail(dry, rc=dry['_rc'], stderr=dry['_stderr'])
    if dry['result'] == 'current':
        module.exit_json(changed=False, **dict(runner.report(dry),
                                               **runner.diff(dry.get('version_before'),
                                                             dry.get('version_before'))))
    if module.check_mode:
        module.exit_json(changed=True, **dict(runner.report(dry),
                                              **runner.diff(dry.get('version_before'),
                                                            dry.get('version_target'))))

    left = runner.deadline - monotonic()
    if left < MIN_UPGRADE_SECONDS:
        runner.fail(dict(dry, result='not-started', code=None), msg=(
            'the upgrade was not started: %d s of the task\'s %d-minute timeout are left after '
            'reading the device, and an upgrade needs at least %d s (raise timeout)'
            % (max(0, left), minutes, MIN_UPGRADE_SECONDS)))

    done = runner.upgrade(*force)
    values = runner.report(done)
    diff = runner.diff(done.get('version_before') or dry.get('version_before'),
                       done.get('version_after'))
    if done['result'] == 'upgraded':
        module.exit_json(changed=True, **dict(values, **diff))
    if done['result'] == 'current':
        module.exit_json(changed=False, **dict(values, **diff))
    # The device was touched when it took the image, whatever came after.
    touched = done['result'] == 'unverified' or done.get('image_delivered') is True
    runner.fail(done, changed=touched, rc=done['_rc'], stderr=done['_stderr'], **diff)


if __name__ == '__main__':
    main()
