#!/usr/bin/python3
"""Benchmark of job file transfer: FTPLOADGET against curl.

For ASCII job files of 1 MB and 10 MB (lines of about 30 characters, LF line
ends on the remote server), measures the time a job waits for one FTPLOADGET
(remote pyftpdlib server to the controller's own FTP server, both on loopback)
and the time curl needs to download the same file from the remote server and
upload it to the controller's server (two curl runs, TYPE A), in the same run.
Prints the median of --runs runs each and the ratio FTPLOADGET / curl (below 1:
faster than curl).

Run from the source tree after a build (as root: both servers use port 21):
    bench/bench_ftp.py [--runs 5]
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
os.environ.setdefault('KOR_SOURCE', SOURCE)
os.environ.setdefault('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'blackbox'))

from harness import Controller, free_address, start_python_peer  # noqa: E402

USER, PASSWORD = 'robot', 'secret'


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


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--runs', type=int, default=5, help='runs per figure (median)')
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix='arvokor-bench-ftp-')
    scratch = tempfile.mkdtemp(prefix='arvokor-bench-curl-')
    try:
        remote_host = free_address()
        peer = start_python_peer('ftp_pyftpd.py', '--address', remote_host, '--port', 21,
                                 '--root', root, ready='ready ')
        with Controller(ftp_server='auto') as vc:
            vc.set('S10', remote_host, 'S11', USER, 'S12', PASSWORD, 'S13', '/', 'S14', 'JOB')
            rows = []
            for label, size in (('1 MB', 1 << 20), ('10 MB', 10 << 20)):
                with open(os.path.join(root, 'JOB.JBI'), 'wb') as f:
                    f.write(job_text(size))

                def load():
                    code = vc.call('FTPLOADGET', timeout=300, p4=10, p5=11, p6=12, p7=13, p0=1,
                                   p1=14)
                    if code != 255:
                        raise SystemExit('FTPLOADGET failed with %d' % code)

                local = os.path.join(scratch, 'JOB.JBI')

                def curl():
                    subprocess.run(['curl', '-s', '-S', '-o', local, 'ftp://%s:%s@%s/JOB.JBI;type=a'
                                    % (USER, PASSWORD, remote_host)], check=True)
                    subprocess.run(['curl', '-s', '-S', '-T', local, 'ftp://ftp:@%s/CURL.JBI;type=a'
                                    % vc.address], check=True)

                ours = statistics.median(timed(load) for _ in range(args.runs))
                theirs = statistics.median(timed(curl) for _ in range(args.runs))
                rows.append((label, ours, theirs))
        peer.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)

    print('%-28s | %10s | %10s | %s' % ('job file transfer (ASCII)', 'FTPLOADGET', 'curl', 'ratio'))
    print('%s-+-%s-+-%s-+-%s' % ('-' * 28, '-' * 10, '-' * 10, '-' * 5))
    for label, ours, theirs in rows:
        print('%-28s | %8.3f s | %8.3f s | %.2f' % ('remote -> controller ' + label, ours, theirs,
                                                    ours / theirs))


if __name__ == '__main__':
    main()
