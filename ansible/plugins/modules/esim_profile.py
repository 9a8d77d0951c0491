#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: esim_profile
short_description: One eSIM profile on one channel of a gateway, present or absent
description:
  - Makes sure that the profile with the given ICCID is installed on the channel's modem and its
    profile server recorded (I(state=present)), or that neither is there (I(state=absent)).
  - Looks at the channel with C(esimctl-info) first and runs C(esimctl) only when the channel is
    not as asked, so that C(changed) means that C(esimctl) ran.
  - A failure's message holds esimctl's result code, its meaning and what to do, as esimctl(1)
    gives them, the server's refusal and its meaning when the run log holds one, and the
    channel's findings with their advice.
  - A run that leaves a finding on the channel that was not there before (see esimctl-info(1)) is
    failed, unless I(fail_on_findings=false).
  - The module never talks to the modem or the database itself.
version_added: "1.0.0"
author: esimctl developers
requirements:
  - The packages esimctl (esimctl and esimctl-info on the PATH) and a database client at
    /my_tools/dbshell, on the gateway.
options:
  channel:
    description: The channel, 1 to 32.
    type: int
    required: true
  iccid:
    description:
      - The profile's ICCID as the provider's order gives it, 18 to 20 digits with an optional
        trailing F (at most 20 characters, as esimctl takes it). Compared without regard to the
        case of the F.
      - For I(state=present), the ICCID the download must install; another one fails the module.
    type: str
    required: true
  activation_code:
    description:
      - The activation code, e.g. C(LPA:1$smdp.example.com$MATCHING-ID), at most 511 characters,
        no double quote and no control character. Required for I(state=present).
    type: str
  state:
    description:
      - C(present) downloads the profile unless it is listed on the channel with a record.
      - C(absent) removes it unless neither the profile nor its record is there. A record whose
        profile is gone is removed with C(-n), which sends a pending deletion notification to
        the recorded server and forgets the record.
      - A profile listed without a record fails either way without running C(esimctl).
    type: str
    choices: [present, absent]
    default: present
  disable:
    description: The removal disables the profile before deleting it (C(esimctl -d)).
    type: bool
    default: false
  fail_on_findings:
    description:
      - Fail when the run leaves findings on the channel that were not there before it. With
        C(false) they are only returned in C(findings).
    type: bool
    default: true
notes:
  - Supports check mode, in which it runs C(esimctl-info) but never C(esimctl), and says what it
    would run.
  - A download takes about two and a half minutes, a removal about one (esimctl's waits pace the
    modem); the task holds its SSH connection that long.
seealso:
  - module: esimctl.gateway.esim_profiles
  - module: esimctl.gateway.esim_info
'''

EXAMPLES = r'''
- name: Profile of the order on channel 3
  esimctl.gateway.esim_profile:
    channel: 3
    iccid: "89882470000000000017"
    activation_code: "LPA:1$smdp.example.com$04386-AGYFT-A74Y8-3F815"

- name: Remove it, disabling it first
  esimctl.gateway.esim_profile:
    channel: 3
    iccid: "89882470000000000017"
    state: absent
    disable: true
'''

RETURN = r'''
changed:
  description: Whether esimctl ran (in check mode, whether it would run).
  returned: always
  type: bool
iccid:
  description: The profile's ICCID; after a download, the one esimctl reported installed.
  returned: always
  type: str
  sample: "89882470000000000017"
result:
  description: esimctl's result code (0 for success, e.g. -18 for exit status 238); null when nothing ran.
  returned: always
  type: int
status:
  description: esimctl's exit status; null when nothing ran.
  returned: always
  type: int
log:
  description: The run log's path; null when nothing ran.
  returned: always
  type: str
  sample: /www/esim_add_3.txt
findings:
  description: esimctl-info's findings for the channel, after the run (or the look, when nothing ran).
  returned: always
  type: list
  elements: dict
  contains:
    kind:
      description: E.g. profile-without-record, record-without-profile, radio-off, notifications-pending.
      type: str
    iccid:
      description: The profile the finding is about; null for the whole channel.
      type: str
    detail:
      description: What the state means and what to do, with the statement to run.
      type: str
cmd:
  description: The esimctl command line that ran, or in check mode would run; null when none. The
    activation code is masked.
  returned: always
  type: str
msg:
  description: What happened, or why it failed.
  returned: always
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.esimctl.gateway.plugins.module_utils.gateway import (
    PROFILE_OPTIONS, PROFILE_REQUIRED_IF, run_entries)


def main():
    module = AnsibleModule(argument_spec=dict(PROFILE_OPTIONS), required_if=PROFILE_REQUIRED_IF,
                           supports_check_mode=True)
    res = run_entries([module.params], module.check_mode)[0]
    failed = res.pop('failed')
    if failed:
        module.fail_json(**res)
    module.exit_json(**res)


if __name__ == '__main__':
    main()
