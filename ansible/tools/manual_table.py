#!/usr/bin/env python3
"""Writes plugins/module_utils/manual.py from esimctl(1)'s source.

The modules' failure messages quote the manual: for each exit status its
result code and meaning (EXIT STATUS), what the failure leaves behind and
what to do (AFTER A FAILURE), and the meaning of the server's refusal pairs.
They are read out of docs/man/esimctl.1.scd here rather than retyped, so a
change to the manual reaches the modules by running this again (the unit
test fleet.manual_table fails while the two differ).

Usage: manual_table.py [MANUAL [OUTPUT]]   (--check: compare instead of writing)
"""
import os
import pprint
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MANUAL = os.path.join(HERE, '..', '..', 'docs', 'man', 'esimctl.1.scd')
OUTPUT = os.path.join(HERE, '..', 'plugins', 'module_utils', 'manual.py')


def plain(text):
    """scdoc markup to plain text: bold, underline and escapes."""
    text = text.replace('\\_', '\0')
    text = re.sub(r'\*([^*\n]+)\*', r'\1', text)
    text = re.sub(r'(?<![A-Za-z0-9])_([^_\n]+)_(?![A-Za-z0-9])', r'\1', text)
    return text.replace('\0', '_').replace('\\\\', '\\')


def paragraph(lines):
    """Lines of one entry to text: prose joined with blanks, code kept as lines."""
    out, prose, code = [], [], None
    for line in lines:
        if line.strip() == '```':
            if code is None:
                if prose:
                    out.append(' '.join(prose))
                    prose = []
                code = []
            else:
                out.append('\n'.join(code))
                code = None
            continue
        if code is not None:
            code.append(plain(line))
        elif line.strip():
            prose.append(plain(line.strip()))
        elif prose:
            out.append(' '.join(prose))
            prose = []
    if prose:
        out.append(' '.join(prose))
    return '\n'.join(out)


def sections(text):
    """The manual's top-level sections by title."""
    found, name = {}, None
    for line in text.splitlines():
        if line.startswith('# '):
            name = line[2:].strip()
            found[name] = []
        elif name is not None:
            found[name].append(line)
    return found


def exit_statuses(lines):
    """{status: (result or None, meaning)} from the EXIT STATUS table."""
    cells, rows = [], {}
    for line in lines:
        if line.startswith('|'):
            cells = [line[1:].strip()]
        elif line.startswith(':') and cells:
            cells.append(line[1:].strip())
            if len(cells) == 3:
                status, result, meaning = cells
                rows[int(status)] = (int(result) if result else None, plain(meaning))
                cells = []
    return rows


ENTRY = re.compile(r'^\*(\d+)\*((?:, \*\d+\*)*) \((-\d+(?:, -\d+)*)\)$')
LOGGED = re.compile(r'^\*0 with ret=(-\d+(?:, -\d+)*(?: or -\d+)?) in the log\*$')
PAIR = re.compile(r'\*(\d+(?:\.\d+)*) / (\d+(?:\.\d+)*)\*')


def after_failure(lines):
    """({status: advice}, {logged code: advice}, {(subject, reason): meaning}).

    An entry is its heading line and what follows it: indented paragraphs,
    blank lines and code blocks, up to the next line that is none of those.
    """
    statuses, logged, pairs = {}, {}, {}
    target, names, body, item, code = None, [], [], None, False

    def close():
        for name in names:
            target[name] = paragraph(body)

    def close_item():
        head, _, meaning = ' '.join(item).partition('*: ')
        for subject, reason in PAIR.findall(head + '*'):
            pairs[(subject, reason)] = plain(meaning)

    for line in lines:
        if item is not None:
            if line.startswith('  ') and line.strip():
                item.append(line.strip())
                continue
            close_item()
            item = None
        if line.startswith('- ') and PAIR.search(line):
            item = [line[2:]]
            continue
        entry, zero = ENTRY.match(line), LOGGED.match(line)
        if entry or zero:
            close()
            if entry:
                target, names = statuses, [int(s) for s in re.findall(r'\d+', entry.group(1) + entry.group(2))]
            else:
                target, names = logged, [int(c) for c in re.findall(r'-\d+', zero.group(1))]
            body, code = [], False
            continue
        if line.strip() == '```':
            code = not code
        elif not code and line.strip() and not line.startswith('\t'):
            close()
            target, names, body = None, [], []
        body.append(line)
    if item is not None:
        close_item()
    close()
    return statuses, logged, pairs


def render(manual_text):
    parts = sections(manual_text)
    statuses = exit_statuses(parts['EXIT STATUS'])
    advice, logged, pairs = after_failure(parts['AFTER A FAILURE'])
    return (
        '# -*- coding: utf-8 -*-\n'
        '# Written by ansible/tools/manual_table.py from docs/man/esimctl.1.scd: do not edit.\n'
        'from __future__ import absolute_import, division, print_function\n'
        '__metaclass__ = type\n\n'
        '# exit status: (result code or None, meaning), from EXIT STATUS\n'
        'EXIT_STATUS = ' + pprint.pformat(statuses, width=110) + '\n\n'
        '# exit status: what it leaves behind and what to do, from AFTER A FAILURE\n'
        'AFTER_FAILURE = ' + pprint.pformat(advice, width=110) + '\n\n'
        '# a code only logged (ret=) with exit status 0: what to do\n'
        'AFTER_LOGGED = ' + pprint.pformat(logged, width=110) + '\n\n'
        '# (subject code, reason code) of a server refusal: its meaning and the next step\n'
        'SERVER_REFUSALS = ' + pprint.pformat(pairs, width=110) + '\n')


def main(argv):
    check = '--check' in argv
    args = [a for a in argv if a != '--check']
    manual = args[0] if args else MANUAL
    output = args[1] if len(args) > 1 else OUTPUT
    with open(manual, encoding='utf-8') as f:
        text = render(f.read())
    if check:
        with open(output, encoding='utf-8') as f:
            if f.read() != text:
                print('%s is not what %s gives: run %s' % (output, manual, sys.argv[0]), file=sys.stderr)
                return 1
        return 0
    with open(output, 'w', encoding='utf-8') as f:
        f.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
