# -*- coding: utf-8 -*-
# What the esimctl.gateway modules share: the option checks of their argument
# specs, the look at a channel through esimctl-info, the decision what an
# entry needs, the esimctl run, and the failure text from esimctl(1).
# Standard library only: this runs on the gateway.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import re
import subprocess
import threading

from ansible_collections.esimctl.gateway.plugins.module_utils.manual import (
    AFTER_FAILURE, AFTER_LOGGED, EXIT_STATUS, SERVER_REFUSALS)

ESIMCTL = 'esimctl'
ESIMCTL_INFO = 'esimctl-info'
# esimctl's default run-log folder (the package's ESIMCTL_LOG_DIR).
LOG_DIR = '/www'
CODE_LIMIT = 511
ICCID_LIMIT = 20

ICCID_TEXT = re.compile(r'[0-9]{18,20}[Ff]?')
DOWNLOADED = re.compile(r'eSim Download Completed, iccid: \[([^\]]*)\]')
SERVER_PAIR = re.compile(r'subject ([0-9.]+), reason ([0-9.]+)')
LOGGED_CODE = re.compile(r'ret=(-[0-9]+)')


# ---------------------------------------------------------------- options ----
# Types of the argument specs: a value they refuse ends the module before it
# runs anything, with the reason in Ansible's "unable to convert" message.

def channel_number(value):
    if isinstance(value, bool):
        raise TypeError('a channel is a number 1 to 32')
    try:
        number = int(str(value), 10)
    except ValueError:
        raise ValueError('a channel is a number 1 to 32, not %r' % (value,))
    if not 1 <= number <= 32:
        raise ValueError('channel %d is not 1 to 32' % number)
    return number


def iccid_text(value):
    text = str(value)
    if not ICCID_TEXT.fullmatch(text):
        raise ValueError('ICCID %r is not 18 to 20 digits with an optional trailing F' % text)
    if len(text) > ICCID_LIMIT:
        raise ValueError('ICCID %r has more than the %d characters esimctl takes' % (text, ICCID_LIMIT))
    return text


def activation_code_text(value):
    text = str(value)
    if not text:
        raise ValueError('the activation code is empty')
    if '"' in text:
        raise ValueError('an activation code holds no double quote')
    if any(ord(c) < 0x20 or ord(c) == 0x7f for c in text):
        raise ValueError('an activation code holds no control character')
    if len(text) > CODE_LIMIT:
        raise ValueError('the activation code has more than %d characters' % CODE_LIMIT)
    return text


# The options of one profile entry, for esim_profile and each entry of esim_profiles.
PROFILE_OPTIONS = dict(
    channel=dict(type=channel_number, required=True),
    iccid=dict(type=iccid_text, required=True),
    activation_code=dict(type=activation_code_text, no_log=True),
    state=dict(type='str', choices=['present', 'absent'], default='present'),
    disable=dict(type='bool', default=False),
    fail_on_findings=dict(type='bool', default=True),
)
PROFILE_REQUIRED_IF = [('state', 'present', ('activation_code',))]


# ------------------------------------------------------------------- runs ----

def _run(argv):
    """(exit status, standard output, standard error) of one program."""
    try:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    except OSError as e:
        return None, '', '%s: %s' % (argv[0], e)
    out, err = proc.communicate()
    return proc.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')


def look(channel):
    """esimctl-info's objects for a channel (a number or 'all').

    Returns (objects, exit status, error text); esimctl-info's statuses are
    0 (all answered), 2 (device missing or channel busy), 3 (a query failed,
    listed in the object's errors)."""
    status, out, err = _run([ESIMCTL_INFO, '-c', str(channel), '--json'])
    objects = []
    for line in out.splitlines():
        if line.strip():
            try:
                objects.append(json.loads(line))
            except ValueError:
                return [], status, 'esimctl-info printed a line that is not JSON: %r' % line[:200]
    return objects, status, err.strip()


def look_channels(channels):
    """{channel: (object or None, status, error)} for channels looked at side by side."""
    found = {}

    def one(c):
        objects, status, err = look(c)
        found[c] = (objects[0] if objects else None, status, err)

    threads = [threading.Thread(target=one, args=(c,)) for c in channels]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return found


def look_problem(channel, obj, status, err):
    """Why a look cannot be planned on, or None: the profiles and the records must both have been read."""
    if status is None:
        return err
    if obj is None:
        return 'esimctl-info -c %d gave no answer (status %d): %s' % (channel, status, err or 'no output')
    if status != 0:
        return 'esimctl-info -c %d ended with status %d: %s' % (
            channel, status, '; '.join(obj.get('errors') or []) or err or 'no reason given')
    return None


# --------------------------------------------------------------- deciding ----

def same_iccid(a, b):
    return a.upper() == b.upper()


def holding(obj, iccid):
    """(the profile's ICCID as listed or None, its record's ICCID or None)."""
    listed = next((p['iccid'] for p in obj.get('profiles') or [] if same_iccid(p['iccid'], iccid)), None)
    recorded = next((r['iccid'] for r in obj.get('records') or [] if same_iccid(r['iccid'], iccid)), None)
    return listed, recorded


def plan(entry, listed, recorded):
    """What an entry needs, from whether its profile is listed and recorded.

    Returns (esimctl arguments or None, refusal or None). A profile without
    its record is refused either way: downloading it again would spend its
    activation code on a profile already there, and its removal stops at 255
    (no record of its server) with the radio off. A record without its
    profile is removed with -n: the profile is gone, and a pending deletion
    notification still goes to the recorded server before the record is
    forgotten (esimctl(1) for 251, 250 and 249)."""
    channel, iccid = str(entry['channel']), entry['iccid']
    if entry['state'] == 'present':
        if listed and recorded:
            return None, None
        if listed:
            return None, ('profile %s is on channel %s without a record of its server; record it by hand '
                          '(its profile-without-record finding gives the statement)' % (listed, channel))
        return [ESIMCTL, '-c', channel, '-a', entry['activation_code']], None
    if not listed and not recorded:
        return None, None
    if listed and not recorded:
        return None, ('profile %s is on channel %s without a record of its server: its removal would stop at '
                      '255 with the radio off. %s' % (listed, channel, AFTER_FAILURE[255]))
    if listed:
        return [ESIMCTL, '-c', channel, '-i', listed, '-r'] + (['-d'] if entry['disable'] else []), None
    return [ESIMCTL, '-c', channel, '-i', recorded, '-r', '-n'], None


def log_path(argv):
    """The default run log of an esimctl command line."""
    channel = argv[2]
    if '-r' in argv:
        return '%s/esim_delete_%s_%s.txt' % (LOG_DIR, channel, argv[argv.index('-i') + 1])
    return '%s/esim_add_%s.txt' % (LOG_DIR, channel)


def new_findings(before, after):
    seen = set((f.get('kind'), f.get('iccid')) for f in before)
    return [f for f in after if (f.get('kind'), f.get('iccid')) not in seen]


def finding_text(findings):
    return ' '.join('Finding %s%s: %s' % (f.get('kind'), ' ' + f['iccid'] if f.get('iccid') else '', f.get('detail'))
                    for f in findings)


def failure_text(channel, status, last):
    """A failed esimctl run in esimctl(1)'s words: code, meaning, what to do,
    and the server's own refusal with its meaning when the log holds one."""
    if status is None or status < 0:
        return 'esimctl on channel %s did not run to its end (%s).' % (
            channel, 'it could not be started' if status is None else 'signal %d' % -status)
    result, meaning = EXIT_STATUS.get(status, (None, 'not a status esimctl(1) names'))
    text = 'esimctl on channel %s failed with status %d (result %s): %s.' % (
        channel, status, result if result is not None else 'none', meaning)
    server = (last or {}).get('server_status')
    if server:
        text += ' The run log holds the server\'s refusal: "%s".' % server
        pair = SERVER_PAIR.search(server)
        if pair and tuple(pair.groups()) in SERVER_REFUSALS:
            text += ' %s / %s: %s' % (pair.group(1), pair.group(2), SERVER_REFUSALS[tuple(pair.groups())])
    if status in AFTER_FAILURE:
        text += ' esimctl(1) for %d: %s' % (status, AFTER_FAILURE[status])
    return text


def logged_text(last):
    """esimctl(1)'s advice for a code only logged by a run that ended with 0, or ''."""
    code = LOGGED_CODE.search((last or {}).get('failure') or '')
    if code and int(code.group(1)) in AFTER_LOGGED:
        return ' The run logged ret=%s; esimctl(1): %s' % (code.group(1), AFTER_LOGGED[int(code.group(1))])
    return ''


# ---------------------------------------------------------------- entries ----

def blank_result(entry):
    return dict(changed=False, failed=False, iccid=entry['iccid'], result=None, status=None, log=None,
                findings=[], cmd=None, msg='')


def shown(argv):
    """The command line for the result; the activation code is the module's no_log value and is masked there."""
    return ' '.join(argv) if argv else None


def refuse(res, text, obj):
    res.update(failed=True, msg=text)
    if obj is not None:
        res['findings'] = obj.get('findings') or []
        if res['findings']:
            res['msg'] += ' ' + finding_text(res['findings'])
    return res


def apply_entry(entry, before):
    """Brings one entry about on its channel, given the look before it.

    Returns (result, look after it); the look after is the next entry's
    look before, and None when the channel could not be read."""
    res = blank_result(entry)
    channel = entry['channel']
    listed, recorded = holding(before, entry['iccid'])
    argv, refusal = plan(entry, listed, recorded)
    if refusal:
        return refuse(res, refusal, before), before
    if argv is None:
        res.update(findings=before.get('findings') or [],
                   iccid=listed or entry['iccid'], msg='channel %d already as asked' % channel)
        return res, before
    status, out, err = _run(argv)
    res.update(changed=True, status=status, cmd=shown(argv), log=log_path(argv),
               result=0 if status == 0 else EXIT_STATUS.get(status, (None,))[0])
    objects, look_status, look_err = look(channel)
    after = objects[0] if objects else None
    problem = look_problem(channel, after, look_status, look_err)
    last = (after or {}).get('last')
    if status != 0:
        refuse(res, failure_text(channel, status, last) + (' ' + err.strip() if status is None else ''), after)
        return res, None if problem else after
    if problem:
        return refuse(res, 'esimctl ended with 0 but the channel could not be read afterwards: ' + problem,
                      None), None
    res['findings'] = after.get('findings') or []
    now_listed, now_recorded = holding(after, entry['iccid'])
    if entry['state'] == 'present':
        got = DOWNLOADED.search(out)
        installed = got.group(1) if got else None
        res['iccid'] = installed or entry['iccid']
        if installed is None or not same_iccid(installed, entry['iccid']):
            return refuse(res, 'esimctl on channel %d installed ICCID %s, not the expected %s.' % (
                channel, installed or '(none reported)', entry['iccid']), after), after
        if not (now_listed and now_recorded):
            return refuse(res, 'esimctl on channel %d reported %s installed, but afterwards it is %s.%s' % (
                channel, installed, 'not listed' if not now_listed else 'without a record',
                logged_text(last)), after), after
    elif now_listed or now_recorded:
        return refuse(res, 'esimctl on channel %d reported %s removed, but afterwards %s.%s' % (
            channel, entry['iccid'], 'it is still listed' if now_listed else 'its record is still there',
            logged_text(last)), after), after
    left = new_findings(before.get('findings') or [], res['findings'])
    if left and entry['fail_on_findings']:
        refuse(res, 'esimctl on channel %d ended with 0 but left findings.%s' % (channel, logged_text(last)),
               after)
    return res, after


def predict_entry(entry, state):
    """Check mode: what an entry would do, given the channel's state as
    the entries before it would leave it ({'obj', 'listed', 'recorded'}
    sets of upper-case ICCIDs); updates that state."""
    res = blank_result(entry)
    key = entry['iccid'].upper()
    listed = entry['iccid'] if key in state['listed'] else None
    recorded = entry['iccid'] if key in state['recorded'] else None
    argv, refusal = plan(entry, listed, recorded)
    res['findings'] = state['obj'].get('findings') or []
    if refusal:
        return refuse(res, refusal, state['obj'])
    if argv is None:
        res['msg'] = 'channel %d already as asked' % entry['channel']
        return res
    res.update(changed=True, cmd=shown(argv), msg='would run ' + shown(argv))
    if entry['state'] == 'present':
        state['listed'].add(key)
        state['recorded'].add(key)
    else:
        state['listed'].discard(key)
        state['recorded'].discard(key)
    return res


def channel_state(obj):
    return dict(obj=obj, listed=set(p['iccid'].upper() for p in obj.get('profiles') or []),
                recorded=set(r['iccid'].upper() for r in obj.get('records') or []))


def run_entries(entries, check_mode):
    """Results of entries in their order: the channels side by side, one
    esimctl per channel at a time, a channel's entries in order. After a
    failed entry the channel's later entries do not run."""
    results = [None] * len(entries)
    by_channel = {}
    for i, entry in enumerate(entries):
        by_channel.setdefault(entry['channel'], []).append(i)

    def channel_work(channel, indexes):
        objects, status, err = look(channel)
        obj = objects[0] if objects else None
        problem = look_problem(channel, obj, status, err)
        state = None if problem or not check_mode else channel_state(obj)
        for n, i in enumerate(indexes):
            entry = entries[i]
            if problem:
                results[i] = refuse(blank_result(entry), 'channel %d could not be read: %s' % (channel, problem),
                                    obj)
            elif check_mode:
                results[i] = predict_entry(entry, state)
            else:
                results[i], obj = apply_entry(entry, obj)
                if obj is None:
                    problem = 'the look after the entry before it failed'
            if results[i]['failed'] and not check_mode:
                for j in indexes[n + 1:]:
                    results[j] = refuse(blank_result(entries[j]), 'not run: an earlier entry of channel %d failed'
                                        % channel, None)
                return

    threads = [threading.Thread(target=channel_work, args=(c, ix)) for c, ix in by_channel.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
