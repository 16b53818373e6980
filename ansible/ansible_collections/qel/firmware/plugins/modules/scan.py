#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: scan
short_description: Finds the QEL devices on the runner's LAN
description:
  - Runs C(qel-upgrade scan --json) on the host the task runs on (a site's runner on the
    devices' LAN) and returns the devices that answer as a QEL device does.
  - Every address of the subnets is asked for the device's information page; a /24 takes about
    a second. Scan only networks you administer.
  - Never changes anything, so it never reports C(changed).
version_added: 1.0.0
author:
  - qel-upgrade maintainers (@qel-upgrade)
options:
  prefixes:
    description:
      - Subnets as C(A.B.C.D/N) (at most a /22) or single addresses.
      - Default is the IPv4 subnets of the runner's interfaces, loopback excluded.
    type: list
    elements: str
    default: []
attributes:
  check_mode:
    description: Can run in check mode and return what would change.
    support: full
  diff_mode:
    description: Returns details on what would change in diff mode.
    support: none
notes:
  - Needs the qel-upgrade package on the host the task runs on.
seealso:
  - module: qel.firmware.upgrade
extends_documentation_fragment:
  - qel.firmware.program
'''

EXAMPLES = r'''
- name: Find the devices on the site's LAN
  qel.firmware.scan:
    prefixes:
      - 198.51.100.0/24
  delegate_to: "{{ site_runner }}"
  register: found

- name: Show them
  ansible.builtin.debug:
    msg: "{{ found.devices | map(attribute='address') | list }}"
'''

RETURN = r'''
devices:
  description: The devices found, sorted by address.
  returned: success
  type: list
  elements: dict
  contains:
    address:
      description: The device's IPv4 address.
      type: str
      sample: 198.51.100.20
    product:
      description: The product name, null when the device wants a password.
      type: str
      sample: QEL-742
    software_version:
      description: The software version, null when the device wants a password.
      type: str
      sample: 5.1.2(GR)
    mac:
      description: The MAC address, null when the device wants a password.
      type: str
      sample: 00:0E:08:AA:BB:01
    password_required:
      description: Whether the device asked for a password.
      type: bool
      sample: false
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qel.firmware.plugins.module_utils.qel_upgrade import (
    find_binary, is_ipv4, json_lines, no_result_message, run, stderr_tail, timeout_minutes)

FIELDS = ('address', 'product', 'software_version', 'mac', 'password_required')
DEFAULT_TIMEOUT = 5


def main():
    module = AnsibleModule(
        argument_spec=dict(
            prefixes=dict(type='list', elements='str', default=[]),
            binary=dict(type='str', default='qel-upgrade'),
            timeout=dict(type='int'),
        ),
        supports_check_mode=True,
    )
    minutes = timeout_minutes(module, DEFAULT_TIMEOUT)
    for prefix in module.params['prefixes']:
        if not is_ipv4(prefix, prefix_allowed=True):
            module.fail_json(msg='prefixes must be IPv4 subnets (A.B.C.D/N) or addresses, not %r'
                             % prefix)
    binary = find_binary(module, module.params['binary'])
    command = [binary, 'scan'] + module.params['prefixes'] + ['--json']
    code, out, err, timed_out = run(command, '', minutes * 60)
    devices = json_lines(out)
    if code != 0 or timed_out or devices is None:
        message = no_result_message(module.params['binary'], code, err, timed_out, minutes)
        last = [line for line in err.strip().splitlines() if line.strip()]
        if code == 2 and last:
            message = last[-1]
        extra = dict(stderr=stderr_tail(err)) if module._verbosity >= 1 and err.strip() else {}
        module.fail_json(msg=message, rc=code, **extra)
    module.exit_json(changed=False,
                     devices=[dict((f, d.get(f)) for f in FIELDS) for d in devices])


if __name__ == '__main__':
    main()
