#!/usr/bin/python3
"""Benchmark of job transfer and mail over TLS.

FTP: vsftpd (tests/peers/vsftpd_peer.py: AUTH TLS required, data connections
must resume the control connection's session) holds a 10 MiB ASCII job file
with CR LF line ends; the virtual controller runs with ftp_tls = explicit and
its own (plain) FTP server. The time of one FTPLOADGET (vsftpd to the
controller's server, TYPE A) is set against curl --ssl-reqd downloading the
same file from vsftpd and uploading it to the controller's server; FTPLOADPUT
against curl downloading it from the controller's server and uploading it to
vsftpd with --ssl-reqd. Medians of each are compared as a ratio (ArvoKOR /
curl; target at most 1.2).

Mail: one mail (SMTP command, korjob call) through aiosmtpd requiring
STARTTLS, with mail_tls = starttls, against the same mail without TLS.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_tls.py [--mib 10] [--repeat 5] [--mails 10] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import re
import shutil
import subprocess
import tempfile
import time

from benchlib import median, note, row
from harness import Controller, free_address, start_python_peer
from testpki import NAME, TestPki

S_SERVER, S_USER, S_PASSWORD, S_DIR, S_JOB = 10, 11, 12, 13, 30
REMOTE_DIR = 'bench'


def job_text(size):
    """An ASCII job file of about `size` bytes with CR LF line ends."""
    lines, n, body = [b'/JOB', b'//NAME BENCH', b'//INST'], 0, 32
    while body < size - 8:
        line = b'MOVL C%05d V=100.0 PL=0 ACC=70 DEC=70' % (n % 100000)
        lines.append(line)
        body += len(line) + 2
        n += 1
    lines.append(b'END')
    return b'\r\n'.join(lines) + b'\r\n'


def ftpload(vc, command, server, job):
    vc.set('S%d' % S_SERVER, server, 'S%d' % S_USER, 'anonymous', 'S%d' % S_PASSWORD, '',
           'S%d' % S_DIR, REMOTE_DIR, 'S%d' % S_JOB, job)
    t0 = time.monotonic()
    code = vc.call(command, timeout=300, p4=S_SERVER, p5=S_USER, p6=S_PASSWORD, p7=S_DIR, p0=1,
                   p1=S_JOB)
    if code != 255:
        raise AssertionError('%s gave %s' % (command, code))
    return time.monotonic() - t0


def timed_curl(args, tries=3):
    """Seconds of the first successful curl run. curl is the reference, not
    what is measured: an upload that vsftpd answers with 426 (a TLS data
    connection ended without its shutdown, now and then) is run again, and only
    the successful run is timed."""
    for attempt in range(tries):
        t0 = time.monotonic()
        result = subprocess.run(['curl', '-sS', '--fail'] + args, stderr=subprocess.PIPE,
                                text=True)
        if result.returncode == 0:
            return time.monotonic() - t0
    raise subprocess.CalledProcessError(result.returncode, ['curl'] + args, stderr=result.stderr)


def curl(pki, host, *args):
    return timed_curl(['--ssl-reqd', '--cacert', pki.ca, '--resolve', '%s:21:%s' % (NAME, host),
                       '-u', 'anonymous:'] + list(args))


def curl_plain(*args):
    return timed_curl(list(args))


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def bench_ftp(pki, work, mib, repeat):
    root = os.path.join(work, 'root')
    os.makedirs(os.path.join(root, REMOTE_DIR))
    os.chmod(os.path.join(root, REMOTE_DIR), 0o777)   # uploads run as the user "ftp"
    host = free_address()
    cert, key = pki.cert('good')
    name = 'BENCH.JBI'
    text = job_text(mib << 20)
    with open(os.path.join(root, REMOTE_DIR, name), 'wb') as f:
        f.write(text)
    local = os.path.join(work, name)
    remote_url = 'ftp://%s/%s/%%s;type=a' % (NAME, REMOTE_DIR)
    with start_python_peer('vsftpd_peer.py', '--address', host, '--port', 21, '--root', root,
                           '--tls-cert', cert, '--tls-key', key, ready='ready '), \
            Controller(ftp_server='auto', ftp_tls='explicit', tls_ca=pki.ca,
                       ftp_tls_name=NAME) as vc:
        own_url = 'ftp://ftp:@%s/%%s;type=a' % vc.address
        get, put, curl_get, curl_put = [], [], [], []
        for _ in range(repeat):
            get.append(ftpload(vc, 'FTPLOADGET', host, 'BENCH'))
            if read(os.path.join(vc.jobs_dir, name)) != text:
                raise AssertionError('FTPLOADGET stored something else than was sent')
            os.unlink(os.path.join(root, REMOTE_DIR, name))   # root's file: not overwritable
            put.append(ftpload(vc, 'FTPLOADPUT', host, 'BENCH'))
            if read(os.path.join(root, REMOTE_DIR, name)) != text:
                raise AssertionError('FTPLOADPUT stored something else than was sent')
            curl_get.append(curl(pki, host, '-o', local, remote_url % name) +
                            curl_plain('-T', local, own_url % ('CURL-' + name)))
            curl_put.append(curl_plain('-o', local, own_url % name) +
                            curl(pki, host, '-T', local, remote_url % ('CURL-' + name)))
        if 'TLS:' in vc.output():
            raise AssertionError('TLS failures on the console')
    for what, kor, other in (('FTPLOADGET', get, curl_get), ('FTPLOADPUT', put, curl_put)):
        k, c = median(kor), median(other)
        row('%s %d MiB over TLS (vsftpd, session reuse)' % (what, mib),
            '%.3f s (%.1f MB/s; median of %d)' % (k, len(text) / k / 1e6, repeat),
            'ratio to curl <= 1.2', 'curl --ssl-reqd %.3f s; ratio %.2f' % (c, k / c))


def mail_seconds(vc, server_host, port, count):
    times = []
    for _ in range(count):
        t0 = time.monotonic()
        code = vc.call('SMTP', addr=server_host, port=port, timeout=60,
                       field=['robot', 'secret', 'robot@cell.test', 'line@plant.test', 'bench'])
        if code != 1:
            raise AssertionError('SMTP gave %s' % code)
        times.append(time.monotonic() - t0)
    return median(times)


def start_mail(work, host, *args):
    store = tempfile.mkdtemp(dir=work)
    peer = start_python_peer('smtp_server.py', '--host', host, '--dir', store, '--user', 'robot',
                             '--password', 'secret', *args, ready='READY')
    return peer, int(re.search(r'READY (\d+)', peer.output()).group(1))


def bench_mail(pki, work, count):
    host = free_address()
    cert, key = pki.cert('good')
    tls_peer, tls_port = start_mail(work, host, '--tls', 'starttls', '--tls-cert', cert,
                                    '--tls-key', key)
    plain_peer, plain_port = start_mail(work, host)
    with tls_peer, plain_peer:
        with Controller(mail_tls='starttls', tls_ca=pki.ca, mail_tls_name=NAME) as vc:
            tls = mail_seconds(vc, host, tls_port, count)
        with Controller() as vc:
            plain = mail_seconds(vc, host, plain_port, count)
    row('mail over STARTTLS (aiosmtpd)', '%.1f ms per mail (median of %d)' % (tls * 1e3, count),
        'reported', 'without TLS %.1f ms' % (plain * 1e3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--mib', type=int, default=10, help='job file size in MiB')
    parser.add_argument('--repeat', type=int, default=5, help='transfers of each kind')
    parser.add_argument('--mails', type=int, default=10, help='mails of each kind')
    args = parser.parse_args()
    if shutil.which('curl') is None or not os.path.exists('/usr/sbin/vsftpd'):
        row('FTP over TLS', 'not measured: curl or vsftpd is not installed')
        return
    work = tempfile.mkdtemp(prefix='arvokor-bench-tls-')
    try:
        pki = TestPki(work)
        bench_ftp(pki, work, args.mib, args.repeat)
        bench_mail(pki, work, args.mails)
        note('TLS: the controller verifies every certificate (a CA made for the run); each '
             'FTP figure is one korjob call, curl one download plus one upload (two runs)')
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
