#!/usr/bin/python3
"""Benchmark of the job file transfer.

A remote FTP server (pyftpdlib, tests/peers/ftp_pyftpd.py) holds ASCII job
files of 1 MiB and 10 MiB with LF line ends; the virtual controller runs its
own FTP server over its job directory. For each size the time of one
FTPLOADGET (remote server to the controller's server, TYPE A, as a job sees it
through korjob) is set against curl moving the same file the same way in the
same run: downloading it from the remote server in TYPE A into a local file and
uploading that to the controller's server in TYPE A. Each is repeated and the
medians are compared as a ratio (FTPLOADGET / curl; below 1 is faster).

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_ftp.py [--sizes 1,10] [--repeat 5] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

from benchlib import median, note, row
from harness import SOURCE, Controller, free_address, start_python_peer

USER, PASSWORD = 'robot', 'secret'
REMOTE_DIR = 'bench'
# S variables the command takes its texts from.
S_SERVER, S_USER, S_PASSWORD, S_DIR, S_JOB = 10, 11, 12, 13, 30
PEER = os.path.join(SOURCE, 'tests', 'peers', 'ftp_pyftpd.py')
NOT_BUILT = 'Error - command 36 is not available'


def job_text(size):
    """An ASCII job file of about `size` bytes with LF line ends."""
    lines = [b'/JOB', b'//NAME BENCH', b'//POS', b'///NPOS 0,0,0,0,0,0', b'//INST']
    body = len(b'\n'.join(lines)) + 1
    n = 0
    while body < size - 4:
        line = b'MOVL C%05d V=100.0 PL=0 ACC=70 DEC=70' % (n % 100000)
        lines.append(line)
        body += len(line) + 1
        n += 1
    lines.append(b'END')
    return b'\n'.join(lines) + b'\n'


def ftpload_get(vc, server, job):
    vc.set('S%d' % S_SERVER, server, 'S%d' % S_USER, USER, 'S%d' % S_PASSWORD, PASSWORD,
           'S%d' % S_DIR, REMOTE_DIR, 'S%d' % S_JOB, job)
    t0 = time.monotonic()
    code = vc.call('FTPLOADGET', timeout=300, p4=S_SERVER, p5=S_USER, p6=S_PASSWORD, p7=S_DIR,
                   p0=1, p1=S_JOB)
    return code, time.monotonic() - t0


def curl_move(remote, own, name, scratch):
    """curl downloads the file from the remote server and uploads it to the
    controller's server, both in TYPE A; returns the seconds it took."""
    local = os.path.join(scratch, name)
    t0 = time.monotonic()
    subprocess.run(['curl', '-sS', '--fail', '-o', local,
                    'ftp://%s:%s@%s/%s/%s;type=a' % (USER, PASSWORD, remote, REMOTE_DIR, name)],
                   check=True)
    subprocess.run(['curl', '-sS', '--fail', '-T', local,
                    'ftp://ftp:@%s/%s;type=a' % (own, 'CURL-' + name)], check=True)
    took = time.monotonic() - t0
    os.unlink(local)
    return took


def file_bytes(path):
    with open(path, 'rb') as f:
        return f.read()


def bench_size(vc, remote_host, remote_root, scratch, mib, repeat):
    job = 'BENCH%d' % mib
    name = job + '.JBI'
    text = job_text(mib << 20)
    with open(os.path.join(remote_root, REMOTE_DIR, name), 'wb') as f:
        f.write(text)
    expected = text.replace(b'\n', b'\r\n')
    kor, curl = [], []
    for _ in range(repeat):
        for path in (os.path.join(vc.jobs_dir, name), os.path.join(vc.jobs_dir, 'CURL-' + name)):
            if os.path.exists(path):
                os.unlink(path)
        code, took = ftpload_get(vc, remote_host, job)
        if code != 255:
            raise AssertionError('FTPLOADGET of %d MiB gave %d' % (mib, code))
        if file_bytes(os.path.join(vc.jobs_dir, name)) != expected:
            raise AssertionError('FTPLOADGET stored something else than was sent')
        kor.append(took)
        curl.append(curl_move(remote_host, vc.address, name, scratch))
    curl_copy = file_bytes(os.path.join(vc.jobs_dir, 'CURL-' + name))
    same = 'same bytes stored' if curl_copy == expected else \
        'curl stored %d B, FTPLOADGET %d B' % (len(curl_copy), len(expected))
    k, c = median(kor), median(curl)
    row('FTPLOADGET %d MiB ASCII job file' % mib,
        '%.3f s (%.1f MB/s; median of %d)' % (k, len(text) / k / 1e6, repeat),
        'no slower than curl',
        'curl get + put %.3f s; ratio %.2f (%s)' % (c, k / c, same))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--sizes', default='1,10', help='file sizes in MiB, comma-separated')
    parser.add_argument('--repeat', '--runs', type=int, default=5,
                        help='transfers of each kind and size (medians are compared)')
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(',') if s]
    if not os.path.exists(PEER):
        row('FTPLOADGET', 'not measured: %s is missing' % os.path.relpath(PEER, SOURCE))
        return
    if shutil.which('curl') is None:
        row('FTPLOADGET', 'not measured: curl is not installed')
        return
    remote_root = tempfile.mkdtemp(prefix='arvokor-bench-ftp-')
    scratch = tempfile.mkdtemp(prefix='arvokor-bench-curl-')
    try:
        os.makedirs(os.path.join(remote_root, REMOTE_DIR))
        remote_host = free_address()
        remote = start_python_peer(PEER, '--address', remote_host, '--port', 21,
                                   '--root', remote_root, '--user', USER,
                                   '--password', PASSWORD, ready='ready ')
        with remote, Controller(ftp_server='auto') as vc:
            code, _ = ftpload_get(vc, remote_host, 'NONE')
            if NOT_BUILT in vc.output():
                row('FTPLOADGET', 'not measured: FTPLOADGET is not in this build')
                return
            for mib in sizes:
                bench_size(vc, remote_host, remote_root, scratch, mib, args.repeat)
        note('FTPLOADGET: remote pyftpdlib to the controller\'s own server, TYPE A, timed as '
             'the job waits for it (korjob call); curl: the same file downloaded and uploaded '
             'again, TYPE A, two curl runs')
    finally:
        shutil.rmtree(remote_root, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == '__main__':
    main()
