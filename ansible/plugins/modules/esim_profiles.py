#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: esim_profiles
short_description: Many eSIM profiles on one gateway, its channels at the same time
description:
  - Each entry of I(profiles) is what M(esimctl.gateway.esim_profile) does for one profile on one
    channel, with the same options.
  - The channels run at the same time, one C(esimctl) per channel; a channel's entries run in their
    order. After a failed entry, the later entries of its channel do not run (they fail with
    "not run"); the other channels go on.
  - So a gateway's 32 downloads take about the time of one (see bench/fleet in the source).
version_added: "1.0.0"
author: esimctl developers
requirements:
  - The packages esimctl (esimctl and esimctl-info on the PATH) and a database client at
    /my_tools/dbshell, on the gateway.
options:
  profiles:
    description: The entries, each with the options of M(esimctl.gateway.esim_profile).
    type: list
    elements: dict
    required: true
    suboptions:
      channel:
        description: The channel, 1 to 32.
        type: int
        required: true
      iccid:
        description: The profile's ICCID, 18 to 20 digits with an optional trailing F.
        type: str
        required: true
      activation_code:
        description: The activation code; required for I(state=present).
        type: str
      state:
        description: C(present) or C(absent), as for M(esimctl.gateway.esim_profile).
        type: str
        choices: [present, absent]
        default: present
      disable:
        description: The removal disables the profile before deleting it.
        type: bool
        default: false
      fail_on_findings:
        description: Fail the entry when its run leaves new findings on the channel.
        type: bool
        default: true
notes:
  - Supports check mode, in which each channel is looked at once and its entries are predicted in order,
    each as the ones before it would leave the channel; no C(esimctl) runs.
seealso:
  - module: esimctl.gateway.esim_profile
  - module: esimctl.gateway.esim_info
'''

EXAMPLES = r'''
- name: Every order of this gateway
  esimctl.gateway.esim_profiles:
    profiles: "{{ esim_orders | selectattr('host', 'equalto', inventory_hostname)
                  | map('dict2items') | map('rejectattr', 'key', 'equalto', 'host')
                  | map('items2dict') | list }}"

- name: Swap the profile of channel 2, keep channel 5's
  esimctl.gateway.esim_profiles:
    profiles:
      - {channel: 2, iccid: "89882470000000000017", state: absent}
      - {channel: 2, iccid: "89882470000000000025", activation_code: "LPA:1$smdp.example.com$NEW-2"}
      - {channel: 5, iccid: "89882470000000000033", activation_code: "LPA:1$smdp.example.com$KEEP-5"}
'''

RETURN = r'''
changed:
  description: Whether any entry changed.
  returned: always
  type: bool
results:
  description:
    - One object per entry, in the entries' order, with the keys M(esimctl.gateway.esim_profile)
      returns (changed, iccid, result, status, log, findings, cmd, msg) and C(failed).
  returned: always
  type: list
  elements: dict
msg:
  description: On failure, each failed entry with its message.
  returned: failure
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.esimctl.gateway.plugins.module_utils.gateway import (
    PROFILE_OPTIONS, PROFILE_REQUIRED_IF, run_entries)


def main():
    module = AnsibleModule(
        argument_spec=dict(profiles=dict(type='list', elements='dict', required=True, options=PROFILE_OPTIONS,
                                         required_if=PROFILE_REQUIRED_IF)),
        supports_check_mode=True)
    entries = module.params['profiles']
    results = run_entries(entries, module.check_mode)
    changed = any(r['changed'] for r in results)
    failed = [(i, r) for i, r in enumerate(results) if r['failed']]
    if failed:
        module.fail_json(msg='%d of %d entries failed. %s' % (len(failed), len(results), ' '.join(
            'Entry %d (channel %d, ICCID %s): %s' % (i + 1, entries[i]['channel'], entries[i]['iccid'], r['msg'])
            for i, r in failed)), changed=changed, results=results)
    module.exit_json(changed=changed, results=results)


if __name__ == '__main__':
    main()
