#!/usr/bin/python3
"""Benchmark of job file transfer: FTPLOADGET against curl.

For ASCII job files of the given sizes (lines of about 30 characters, LF line
ends on the remote server), measures the time a job waits for one FTPLOADGET
(remote pyftpdlib server to the controller's own FTP server, both on loopback
addresses of their own) and the time curl needs to download the same file from
the remote server and upload it to the controller's server (two curl runs, TYPE
A), in the same run. Reports the median of --repeat runs of each and the ratio
FTPLOADGET / curl (below 1: faster than curl; the target is no slower).

Prints ROW/NOTE lines for bench/table.py (scripts/bench shows them in its
table). As root: both servers use port 21.
    bench/bench_ftp.py [--sizes 1,10] [--repeat 5]
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

from benchlib import median, note, row  # sets up the harness import path
from harness import Controller, free_address, start_python_peer

USER, PASSWORD = 'robot', 'secret'
S_SERVER, S_USER, S_PASSWORD, S_DIR, S_JOB = 10, 11, 12, 13, 14


def job_text(size):
    """LF-ended job lines up to about `size` bytes."""
    lines = []
    total = 0
    n = 0
    while total < size:
        line = b'MOVL C%05d V=250.0 PL=3 ACC=70\n' % (n % 100000)
        lines.append(line)
        total += len(line)
        n += 1
    return b''.join(lines)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def measure(vc, remote_host, root, scratch, megabytes, repeat):
    with open(os.path.join(root, 'JOB.JBI'), 'wb') as f:
        f.write(job_text(megabytes << 20))

    def load():
        code = vc.call('FTPLOADGET', timeout=300, p4=S_SERVER, p5=S_USER, p6=S_PASSWORD,
                       p7=S_DIR, p0=1, p1=S_JOB)
        if code != 255:
            raise SystemExit('FTPLOADGET failed with %d' % code)

    local = os.path.join(scratch, 'JOB.JBI')

    def curl():
        subprocess.run(['curl', '-s', '-S', '-o', local,
                        'ftp://%s:%s@%s/JOB.JBI;type=a' % (USER, PASSWORD, remote_host)],
                       check=True)
        subprocess.run(['curl', '-s', '-S', '-T', local,
                        'ftp://ftp:@%s/CURL.JBI;type=a' % vc.address], check=True)

    ours = median([timed(load) for _ in range(repeat)])
    theirs = median([timed(curl) for _ in range(repeat)])
    row('FTPLOADGET of a %d MB ASCII job file (median of %d)' % (megabytes, repeat),
        '%.3f s' % ours, 'no slower than curl',
        'curl download + upload %.3f s; ratio %.2f' % (theirs, ours / theirs))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--sizes', default='1,10', help='file sizes in MB, comma-separated')
    parser.add_argument('--repeat', type=int, default=5, help='runs per figure (median)')
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(',') if s]

    root = tempfile.mkdtemp(prefix='arvokor-bench-ftp-')
    scratch = tempfile.mkdtemp(prefix='arvokor-bench-curl-')
    try:
        remote_host = free_address()
        peer = start_python_peer('ftp_pyftpd.py', '--address', remote_host, '--port', 21,
                                 '--root', root, ready='ready ')
        with Controller(ftp_server='auto') as vc:
            vc.set('S%d' % S_SERVER, remote_host, 'S%d' % S_USER, USER,
                   'S%d' % S_PASSWORD, PASSWORD, 'S%d' % S_DIR, '/', 'S%d' % S_JOB, 'JOB')
            for megabytes in sizes:
                measure(vc, remote_host, root, scratch, megabytes, args.repeat)
        peer.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)
    note('FTPLOADGET: remote pyftpdlib to the controller\'s own server, ASCII; time as the job '
         'waits for it (korjob call); curl: the same file downloaded and uploaded again, TYPE A')


if __name__ == '__main__':
    main()
