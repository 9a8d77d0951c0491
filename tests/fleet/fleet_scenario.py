#!/usr/bin/env python3
"""The fleet scenario: the build's packages in 3 simulated gateways x 4 channels,
scenario.yml's rows played against them over SSH, the recap read.

Every row asserts inside the playbook; the last one lets gw3's refused download
fail and records it as ignored, so a green run shows ignored=1 for gw3 only.
Usage: fleet_scenario.py --build DIR [--keep]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FLEET = os.path.join(HERE, '..', '..', 'ansible', 'fleet', 'sim_fleet.sh')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', required=True)
    ap.add_argument('--time-factor', default='0.02')
    ap.add_argument('--keep', action='store_true', help='keep the work folder')
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix='fleet-scenario.')
    packages = os.path.join(work, 'packages')
    subprocess.run(['cpack', '--config', os.path.join(build, 'CPackConfig.cmake'), '-G', 'DEB', '-B', packages],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run = subprocess.run([FLEET, '--gateways', '3', '--channels', '4', '--time-factor', args.time_factor,
                          '--build', build, '--packages', packages, '--out', os.path.join(work, 'fleet'),
                          os.path.join(HERE, 'scenario.yml')],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    print(run.stdout)
    recap = dict(re.findall(r'^(gw\d+)\s+: (.*?)\s*$', run.stdout, re.M))
    counts = {host: dict((k, int(v)) for k, v in re.findall(r'(\w+)=(\d+)', line)) for host, line in recap.items()}
    problems = []
    if run.returncode != 0:
        problems.append('sim_fleet.sh ended with %d' % run.returncode)
    if sorted(counts) != ['gw1', 'gw2', 'gw3']:
        problems.append('recap hosts %s, not gw1 gw2 gw3' % sorted(counts))
    for host, c in sorted(counts.items()):
        if c.get('failed') or c.get('unreachable'):
            problems.append('%s: a row failed (%s)' % (host, recap[host]))
        if c.get('ignored') != (1 if host == 'gw3' else 0):
            problems.append('%s: ignored=%s, where only gw3 has its refused download' % (host, c.get('ignored')))
    for p in problems:
        print('fleet scenario: ' + p, file=sys.stderr)
    if problems or args.keep:
        print('fleet scenario: work folder %s' % work, file=sys.stderr)
    else:
        shutil.rmtree(work)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
