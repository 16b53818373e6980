# -*- coding: utf-8 -*-
# The options every module of the collection shares: the program it runs and
# how long that may take.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  binary:
    description:
      - The qel-upgrade program, a path or a name looked up in C(PATH).
    type: str
    default: qel-upgrade
  timeout:
    description:
      - Minutes the task may take, at least 1. When they run out the program is stopped as
        by Ctrl-C (then killed if it does not end within 30 seconds) and the task fails with
        what the program said.
      - Default 5 for M(qel.firmware.scan), 20 for M(qel.firmware.upgrade).
    type: int
'''
