#!/usr/bin/env python3
"""The modules' argument specs: each row is a module run with its arguments,
refused before anything runs, or let through to the first look at the gateway.
Also: the failure texts the modules quote are still what esimctl(1) says."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(HERE, '..', '..', 'ansible')
GOOD = dict(channel=3, iccid='89882470000000000017', activation_code='LPA:1$smdp.example$M-1')

# (situation, module, arguments, the refusal's words or None when accepted)
ROWS = [
    ('channel 0', 'esim_profile', dict(GOOD, channel=0), 'channel 0 is not 1 to 32'),
    ('channel 33', 'esim_profile', dict(GOOD, channel=33), 'channel 33 is not 1 to 32'),
    ('channel not a number', 'esim_profile', dict(GOOD, channel='3a'), 'a channel is a number 1 to 32'),
    ('channel true', 'esim_profile', dict(GOOD, channel=True), 'a channel is a number 1 to 32'),
    ('ICCID of 17 digits', 'esim_profile', dict(GOOD, iccid='89882470000000001'), 'not 18 to 20 digits'),
    ('ICCID of 21 digits', 'esim_profile', dict(GOOD, iccid='898824700000000000171'), 'not 18 to 20 digits'),
    ('ICCID with F inside', 'esim_profile', dict(GOOD, iccid='8988247000F000000017'), 'not 18 to 20 digits'),
    ('ICCID of 20 digits and F: past esimctl -i', 'esim_profile', dict(GOOD, iccid='89882470000000000017F'),
     'more than the 20 characters'),
    ('code with a double quote', 'esim_profile', dict(GOOD, activation_code='LPA:1$h$"x'), 'no double quote'),
    ('code with a line end', 'esim_profile', dict(GOOD, activation_code='LPA:1$h$x\n'), 'no control character'),
    ('code with DEL', 'esim_profile', dict(GOOD, activation_code='LPA:1$h$\x7fx'), 'no control character'),
    ('code of 512 characters', 'esim_profile', dict(GOOD, activation_code='L' * 512), 'more than 511'),
    ('present without a code', 'esim_profile', dict(channel=3, iccid=GOOD['iccid']),
     'state is present but all of the following are missing: activation_code'),
    ('entry 2 on channel 40', 'esim_profiles', dict(profiles=[GOOD, dict(GOOD, channel=40)]), 'channel 40 is not'),
    ('entry present without a code', 'esim_profiles', dict(profiles=[dict(channel=1, iccid=GOOD['iccid'])]),
     'missing: activation_code found in profiles'),
    ('info on channel 0', 'esim_info', dict(channels=[1, 0]), 'channel 0 is not 1 to 32'),
    ('ICCID of 18 digits', 'esim_profile', dict(GOOD, iccid='898824700000000017'), None),
    ('ICCID of 19 digits and f', 'esim_profile', dict(GOOD, iccid='8988247000000000017f'), None),
    ('channel 32 as text', 'esim_profile', dict(GOOD, channel='32'), None),
    ('absent without a code', 'esim_profile', dict(channel=1, iccid=GOOD['iccid'], state='absent'), None),
    ('code of 511 characters with blanks and $', 'esim_profiles',
     dict(profiles=[dict(GOOD, activation_code='LPA:1$h$' + 'a b' * 167 + 'x')]), None),
    ('info on channels 1 and 32', 'esim_info', dict(channels=[1, 32]), None),
]

# Stands for esimctl and esimctl-info: notes that it ran, then says nothing,
# so an accepted module fails at its first look rather than at its arguments.
SENTINEL = '#!/bin/sh\necho "$0 $*" >>"$SENTINEL_LOG"\nexit 3\n'


class ModuleArguments(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = os.path.join(cls.tmp.name, 'ansible_collections', 'esimctl')
        os.makedirs(root)
        os.symlink(os.path.abspath(COLLECTION), os.path.join(root, 'gateway'))
        cls.bin = os.path.join(cls.tmp.name, 'bin')
        os.makedirs(cls.bin)
        for name in ('esimctl', 'esimctl-info'):
            with open(os.path.join(cls.bin, name), 'w') as f:
                f.write(SENTINEL)
            os.chmod(os.path.join(cls.bin, name), 0o755)

    def run_module(self, module, arguments, name):
        path = os.path.join(self.tmp.name, name.replace(' ', '_') + '.json')
        with open(path, 'w') as f:
            json.dump(dict(ANSIBLE_MODULE_ARGS=arguments), f)
        log = path + '.ran'
        env = dict(os.environ, PYTHONPATH=self.tmp.name, PATH=self.bin + ':/usr/bin:/bin', SENTINEL_LOG=log)
        out = subprocess.run([sys.executable, os.path.join(COLLECTION, 'plugins', 'modules', module + '.py'), path],
                             env=env, stdout=subprocess.PIPE, universal_newlines=True).stdout
        return json.loads(out), os.path.exists(log)

    def test_rows(self):
        for name, module, arguments, refusal in ROWS:
            with self.subTest(name):
                result, ran = self.run_module(module, arguments, name)
                self.assertTrue(result.get('failed'), result)
                if refusal is None:
                    self.assertTrue(ran, 'accepted, so the module looks at the channel: %s' % result['msg'])
                else:
                    self.assertIn(refusal, result['msg'])
                    self.assertFalse(ran, 'refused arguments must run nothing')

    def test_failure_texts_are_the_manuals(self):
        tool = os.path.join(COLLECTION, 'tools', 'manual_table.py')
        self.assertEqual(subprocess.run([sys.executable, tool, '--check']).returncode, 0)
        sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'module_utils'))
        import manual
        failures = [s for s in manual.EXIT_STATUS if s > 1]
        self.assertEqual(sorted(manual.AFTER_FAILURE), sorted(failures), 'every failure status has its advice')
        self.assertEqual(sorted(manual.AFTER_LOGGED), [-24, -10, -9, -8])
        self.assertIn('downloading again with the same code does not help', manual.SERVER_REFUSALS[('8.2.6', '3.8')])


if __name__ == '__main__':
    unittest.main()
