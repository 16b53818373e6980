# -*- coding: utf-8 -*-
# qel.firmware.scan against the fake program of conftest.py.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import pytest


def test_devices_are_returned_and_nothing_changes(fake):
    lines = ('{"address":"198.51.100.20","product":null,"software_version":null,"mac":null,'
             '"password_required":true}\n'
             '{"address":"198.51.100.21","product":"QEL-200","software_version":"3.4.5",'
             '"mac":"00:0E:08:AA:BB:01","password_required":false}\n')
    result, calls = fake.run('scan', [(lines, 0)], check_mode=True,
                             prefixes=['198.51.100.0/24', '203.0.113.7'])
    assert result['changed'] is False
    assert calls[0]['argv'] == ['scan', '198.51.100.0/24', '203.0.113.7', '--json']
    assert result['devices'][0]['password_required'] is True
    assert result['devices'][1] == {'address': '198.51.100.21', 'product': 'QEL-200',
                                    'software_version': '3.4.5', 'mac': '00:0E:08:AA:BB:01',
                                    'password_required': False}
    result, calls = fake.run('scan', [('', 0)])
    assert result['devices'] == []


def test_usage_errors_and_garbage_fail(fake):
    result, _ = fake.run('scan', [('', 2, 'qel-upgrade scan: 198.0.0.0/8 is more than a /22\n')],
                         prefixes=['198.0.0.0/8'])
    assert result['failed'] is True
    assert result['msg'] == 'qel-upgrade scan: 198.0.0.0/8 is more than a /22'
    assert 'stderr' not in result
    result, _ = fake.run('scan', [('<html>\n', 0)])
    assert result['failed'] is True


@pytest.mark.parametrize('prefix', ['--help', '-i', '198.51.100.0/33', '198.51.100.0/24x',
                                    'example.net/24'])
def test_prefixes_that_are_no_subnet_are_refused_before_anything_runs(fake, prefix):
    result, calls = fake.run('scan', [('', 0)], prefixes=['198.51.100.0/24', prefix])
    assert result['failed'] is True
    assert calls == []
