# -*- coding: utf-8 -*-
# Written by ansible/tools/manual_table.py from docs/man/esimctl.1.scd: do not edit.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

# exit status: (result code or None, meaning), from EXIT STATUS
EXIT_STATUS = {0: (0, 'done (also after a logged -24, -8, -9 or -10)'),
 1: (None, 'command line refused, or libcurl could not start'),
 233: (-23, "download: the new profile's ICCID could not be read (the profile is installed)"),
 234: (-22, 'download: the server did not accept the notification (the profile is installed)'),
 236: (-20, 'download, step 3: the modem did not answer or did not report the profile installed'),
 237: (-19, 'download, step 3 (getBoundProfilePackage): the server request failed'),
 238: (-18, "download, step 2: the modem's status is not 0"),
 239: (-17, 'download, step 2: handing the answer to the modem failed'),
 240: (-16, 'download, step 2 (authenticateClient): the server request failed'),
 241: (-15, "download, step 1: the modem's status is not 0"),
 242: (-14, 'download, step 1: handing the answer to the modem failed'),
 243: (-13, 'download, step 1 (initiateAuthentication): the server request failed'),
 244: (-12, "download: the download command's status is not 0"),
 245: (-11, 'download: the download command could not be sent or got no reply'),
 249: (-7, 'removal: the server did not accept the notification'),
 250: (-6, 'removal: fetching the notification failed'),
 251: (-5, 'removal: no notification for the ICCID found'),
 252: (-4, 'removal: deleting the profile failed'),
 253: (-3, 'removal: disabling the profile failed'),
 254: (-2, 'removal: the record lacks its host or path'),
 255: (-1, "removal: no record of the profile's server")}

# exit status: what it leaves behind and what to do, from AFTER A FAILURE
AFTER_FAILURE = {233: 'The profile is installed and the server told, but its ICCID was not read and nothing was recorded. Do '
      'as for 234.',
 234: 'The profile is installed but not recorded, and the server was not told. A later removal of it stops '
      "at 255. Record its server by hand, with the host of the activation code and the path of the log's "
      '"URL:" line after "=== Step 4: notify ===", then remove or keep it as planned:\n'
      '/my_tools/dbshell /data/log/esimhttp.db "INSERT INTO esim_http \\\n'
      '  (port, iccid, http_ip, http_path, save_time) VALUES \\\n'
      '  (N, \\"ICCID\\", \\"HOST\\", \\"PATH\\", \\"YYYY-MM-DD HH:MM:SS\\")"\n'
      "with N the channel, ICCID the profile's, HOST and PATH its server's, and the date and time it was "
      'installed.\n'
      'The ICCID is the last one the modem lists (esimctl-info -c N names it in a profile-without-record '
      'finding with this statement ready to fill in).',
 236: 'Usually no profile and no record; the eUICC may hold a notification of the failed installation '
      '(esimctl-info lists it). But when the log shows that the last "trans" command got no reply in time '
      '("send at trans[n] failed"), the eUICC may have installed the profile all the same: run esimctl-info '
      '-c N first, and if it reports a profile-without-record, record its server as for 234 (the path is the '
      "notification path the same server gave other downloads; when there are none, the path of this run's "
      'first "URL:" line with its last part, initiateAuthentication, made handleNotification) or remove it. '
      'Otherwise run the download again.',
 237: 'No profile, no record. A server request failed (network, name, TLS, a time-out of 30 s: the log gives '
      'libcurl\'s text; or an answer over the build\'s limit, 65535 bytes by default: "response data is '
      'large", see LARGER PROFILE PACKAGES). A server whose TLS certificate is on brainpoolP256r1 fails with '
      '"SSL connect error" when the TLS library cannot offer that curve (see TLS). The eUICC abandons the '
      'session at the next download. Run the download again once the server is reachable; after -19 the '
      'server may have released the profile already: ask its operator whether the activation code is still '
      'good.',
 238: "No profile, no record. The modem did not take the server's answer, or refused it (status in the log). "
      'Run the download again.',
 239: "No profile, no record. The modem did not take the server's answer, or refused it (status in the log). "
      'Run the download again.',
 240: 'No profile, no record. A server request failed (network, name, TLS, a time-out of 30 s: the log gives '
      'libcurl\'s text; or an answer over the build\'s limit, 65535 bytes by default: "response data is '
      'large", see LARGER PROFILE PACKAGES). A server whose TLS certificate is on brainpoolP256r1 fails with '
      '"SSL connect error" when the TLS library cannot offer that curve (see TLS). The eUICC abandons the '
      'session at the next download. Run the download again once the server is reachable; after -19 the '
      'server may have released the profile already: ask its operator whether the activation code is still '
      'good.',
 241: "No profile, no record. The modem did not take the server's answer, or refused it (status in the log). "
      'Run the download again.',
 242: "No profile, no record. The modem did not take the server's answer, or refused it (status in the log). "
      'Run the download again.',
 243: 'No profile, no record. A server request failed (network, name, TLS, a time-out of 30 s: the log gives '
      'libcurl\'s text; or an answer over the build\'s limit, 65535 bytes by default: "response data is '
      'large", see LARGER PROFILE PACKAGES). A server whose TLS certificate is on brainpoolP256r1 fails with '
      '"SSL connect error" when the TLS library cannot offer that curve (see TLS). The eUICC abandons the '
      'session at the next download. Run the download again once the server is reachable; after -19 the '
      'server may have released the profile already: ask its operator whether the activation code is still '
      'good.',
 244: 'No profile, no record. The modem refused the activation code or its eUICC was not ready (the log '
      'shows the status, and "Not find eid" when the EID never came). Check the code; run the download '
      'again.',
 245: 'No profile, no record. The modem could not be reached: check the device (ls -l /dev/zarn/chn_usb/N), '
      'whether another run held the channel (the log says "is in use by another esimctl run"), and the '
      'modem; then run the download again.',
 249: 'The profile is deleted; its deletion notification is still pending on the eUICC, and the record is in '
      'place. Run the removal again with -n (and without -d) once the modem or the server answers: it sends '
      'the pending notification, cleans up and forgets the record.',
 250: 'The profile is deleted; its deletion notification is still pending on the eUICC, and the record is in '
      'place. Run the removal again with -n (and without -d) once the modem or the server answers: it sends '
      'the pending notification, cleans up and forgets the record.',
 251: 'The profile is deleted (unless -n was given) but no notification for it was found. Run the removal '
      'again with -n (and without -d); when the eUICC holds none (esimctl-info), the server cannot be told '
      'by esimctl: forget the record by hand:\n'
      '/my_tools/dbshell /data/log/esimhttp.db "DELETE FROM esim_http \\\n'
      '  WHERE port = N AND iccid = \\"ICCID\\""',
 252: 'The profile is still listed. Check the modem; run the removal again (without -d when this run '
      'disabled the profile: the modem refuses to disable it twice, 253).',
 253: 'The profile is still installed and enabled, or was already disabled (the modem then refuses to '
      'disable it again). Run the removal again without -d.',
 254: 'The profile is still installed; the record lacks its host or path. Mend the record, then run the '
      'removal again:\n'
      '/my_tools/dbshell /data/log/esimhttp.db "UPDATE esim_http \\\n'
      '  SET http_ip = \\"HOST\\", http_path = \\"PATH\\" \\\n'
      '  WHERE port = N AND iccid = \\"ICCID\\""',
 255: 'The profile is still installed; no record of its server. When it came from a download that ended at '
      '234, 233 or with ret=-24, record the server as shown for 234 and run the removal again.'}

# a code only logged (ret=) with exit status 0: what to do
AFTER_LOGGED = {-24: 'The profile is installed and reported on standard output, but its record could not be saved (the log '
      'says why: a read-only or locked database, a missing client). Do as for 234, with the ICCID from '
      'standard output.',
 -10: 'The profile is deleted and the server told. With -8 or -9 notifications of the ICCID may still be '
      'pending on the eUICC (they are not sent again): esimctl-info lists them with their sequence numbers. '
      'The record is already forgotten, so a removal cannot reach them; the server has its notification, so '
      'delete each of them on the eUICC by hand, with SEQ its sequence number:\n'
      'stty -F /dev/zarn/chn_usb/N 115200 raw -echo &&\n'
      '  printf \'AT+QESIM="ntf_delete",SEQ\\r\\n\' > /dev/zarn/chn_usb/N\n'
      'With -10 the record is still there: forget it with the DELETE statement shown for 251.',
 -9: 'The profile is deleted and the server told. With -8 or -9 notifications of the ICCID may still be '
     'pending on the eUICC (they are not sent again): esimctl-info lists them with their sequence numbers. '
     'The record is already forgotten, so a removal cannot reach them; the server has its notification, so '
     'delete each of them on the eUICC by hand, with SEQ its sequence number:\n'
     'stty -F /dev/zarn/chn_usb/N 115200 raw -echo &&\n'
     '  printf \'AT+QESIM="ntf_delete",SEQ\\r\\n\' > /dev/zarn/chn_usb/N\n'
     'With -10 the record is still there: forget it with the DELETE statement shown for 251.',
 -8: 'The profile is deleted and the server told. With -8 or -9 notifications of the ICCID may still be '
     'pending on the eUICC (they are not sent again): esimctl-info lists them with their sequence numbers. '
     'The record is already forgotten, so a removal cannot reach them; the server has its notification, so '
     'delete each of them on the eUICC by hand, with SEQ its sequence number:\n'
     'stty -F /dev/zarn/chn_usb/N 115200 raw -echo &&\n'
     '  printf \'AT+QESIM="ntf_delete",SEQ\\r\\n\' > /dev/zarn/chn_usb/N\n'
     'With -10 the record is still there: forget it with the DELETE statement shown for 251.'}

# (subject code, reason code) of a server refusal: its meaning and the next step
SERVER_REFUSALS = {('1.2.1', '2.1'): 'request headers refused. The server wants other HTTP headers than esimctl sends; tell '
                   'the operator.',
 ('1.2.2', '2.1'): 'request headers refused. The server wants other HTTP headers than esimctl sends; tell '
                   'the operator.',
 ('8.1', '6.1'): 'a signature did not verify (eUICC or server certificates of different issuers, or a '
                 'corrupted exchange). Run the download again; if it recurs, tell the operator.',
 ('8.1.1', '3.8'): 'EID refused: the profile is bound to another eUICC. Check the EID the operator has '
                   '(esimctl-info -c N shows it).',
 ('8.1.3', '6.3'): "eUICC certificate expired. The modem's eUICC cannot download from this server; tell the "
                   'operator and the modem vendor.',
 ('8.10.1', '3.9'): 'transaction unknown: the session expired (a slow modem, a long pause). Run the download '
                    'again.',
 ('8.2.6', '3.8'): 'matching ID refused: the activation code is unknown, already used, or not released for '
                   'this device. Ask the operator for a new code or to release it again; downloading again '
                   'with the same code does not help.',
 ('8.2.7', '2.2'): 'confirmation code missing or refused. esimctl cannot send one: the operator must issue '
                   'the profile without it.',
 ('8.2.7', '3.8'): 'confirmation code missing or refused. esimctl cannot send one: the operator must issue '
                   'the profile without it.',
 ('8.8.1', '3.8'): 'server address refused: the code names another server than the one that holds the '
                   "profile. Check the code's server address."}
