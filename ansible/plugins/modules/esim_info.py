#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: esim_info
short_description: What the channels of a gateway hold, as esimctl-info sees it
description:
  - Runs C(esimctl-info --json) for the channels and returns its objects (functionality level,
    EID, profiles, pending notifications, the records of the profiles' servers, the last esimctl
    run, and findings with their advice).
  - Changes nothing, and runs in check mode too.
version_added: "1.0.0"
author: esimctl developers
requirements:
  - The package esimctl (esimctl-info on the PATH) on the gateway.
options:
  channels:
    description:
      - The channels, each 1 to 32. Without it, every channel whose device exists
        (C(esimctl-info -c all)).
    type: list
    elements: int
notes:
  - A channel that a running esimctl holds is reported busy (in the object's C(errors)) and not
    touched. A channel asked for whose look gives no object fails the module.
seealso:
  - module: esimctl.gateway.esim_profiles
'''

EXAMPLES = r'''
- name: The fleet's inventory
  esimctl.gateway.esim_info:
  register: info

- name: Channels with something to mend
  ansible.builtin.debug:
    msg: "{{ info.channels | selectattr('findings') | map(attribute='channel') | list }}"
'''

RETURN = r'''
channels:
  description:
    - One object per channel, in channel order (or the order asked), exactly as
      C(esimctl-info --json) prints it; see esimctl-info(1) for its members.
  returned: always
  type: list
  elements: dict
  sample:
    - channel: 1
      device: /dev/zarn/chn_usb/1
      functionality: 1
      eid: "89049032000001000000000000000107"
      profiles: [{iccid: "89882470000000000017", line: '+QESIM: 1,"89882470000000000017",0,"P"'}]
      notifications: []
      records: [{iccid: "89882470000000000017", host: smdp.example, path: /gsma/rsp2/es9plus/handleNotification,
                 saved: "2026-12-08 10:00:00"}]
      findings: []
      errors: []
status:
  description: esimctl-info's highest exit status (0 all answered, 2 a device missing or busy, 3 a query failed).
  returned: always
  type: int
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.esimctl.gateway.plugins.module_utils.gateway import (
    channel_number, look, look_channels)


def main():
    module = AnsibleModule(argument_spec=dict(channels=dict(type='list', elements=channel_number)),
                           supports_check_mode=True)
    asked = module.params['channels']
    if asked is None:
        channels, status, err = look('all')
        if status is None or status == 1:
            module.fail_json(msg='esimctl-info -c all failed: %s' % (err or 'status %s' % status))
        module.exit_json(changed=False, channels=channels, status=status)
    found = look_channels(sorted(set(asked)))
    missing = [c for c in asked if found[c][0] is None]
    channels = [found[c][0] for c in asked if found[c][0] is not None]
    status = max(found[c][1] if found[c][1] is not None else 1 for c in asked) if asked else 0
    if missing:
        module.fail_json(msg='no answer from esimctl-info for channel %s: %s' % (
            ', '.join(str(c) for c in missing), '; '.join(found[c][2] or 'no output' for c in missing)),
            channels=channels, status=status)
    module.exit_json(changed=False, channels=channels, status=status)


if __name__ == '__main__':
    main()
