"""Build backend of the arvokor package (pyproject.toml names it), standard
library only: pip needs neither setuptools nor a package index to install it,
and nothing is written into the source folder (no build/, no *.egg-info).

    pip install ./python                      with or without an index
    python3 build_wheel.py --tree DIR         the installed tree (package and
                                              its .dist-info) for Debian's
                                              dist-packages

The metadata comes from pyproject.toml's [project] table.
"""

import base64
import hashlib
import io
import os
import re
import sys
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = 'arvokor'


def _value(text):
    text = text.strip()
    if text.startswith('['):
        return re.findall(r'"([^"]*)"', text)
    return text.strip('"')


def _read_toml(path):
    """pyproject.toml as nested dicts: tomllib where Python has it, else the
    subset this file uses (tables, strings and lists of strings)."""
    try:
        import tomllib
    except ImportError:
        tables = {}
        table = tables
        with open(path, encoding='utf-8') as f:
            for line in f:
                line = line.split('#', 1)[0].strip()
                if line.startswith('['):
                    table = tables
                    for name in line.strip('[]').split('.'):
                        table = table.setdefault(name.strip().strip('"'), {})
                elif '=' in line:
                    key, text = line.split('=', 1)
                    table[key.strip().strip('"')] = _value(text)
        return tables
    with open(path, 'rb') as f:
        return tomllib.load(f)


def _project():
    return _read_toml(os.path.join(HERE, 'pyproject.toml'))['project']


def _dist_info_name(project):
    return '%s-%s.dist-info' % (project['name'], project['version'])


def _metadata(project):
    lines = ['Metadata-Version: 2.1', 'Name: ' + project['name'],
             'Version: ' + project['version'], 'Summary: ' + project['description'],
             'Requires-Python: ' + project['requires-python']]
    for requirement in project.get('dependencies', []):
        lines.append('Requires-Dist: ' + requirement)
    for extra, requirements in project.get('optional-dependencies', {}).items():
        lines.append('Provides-Extra: ' + extra)
        lines += ['Requires-Dist: %s ; extra == "%s"' % (r, extra) for r in requirements]
    lines.append('Description-Content-Type: text/markdown')
    with open(os.path.join(HERE, project['readme']), encoding='utf-8') as f:
        return '\n'.join(lines) + '\n\n' + f.read()


def _entry_points(project):
    text = ''
    for group, points in project.get('entry-points', {}).items():
        text += '[%s]\n' % group + ''.join('%s = %s\n' % p for p in points.items()) + '\n'
    return text


def _dist_info(project):
    """(file name, bytes) of the .dist-info folder, RECORD and WHEEL aside."""
    return [('METADATA', _metadata(project).encode()),
            ('entry_points.txt', _entry_points(project).encode())]


def _sources():
    """Paths of the package's modules, relative to this folder."""
    folder = os.path.join(HERE, PACKAGE)
    return sorted(os.path.join(PACKAGE, name) for name in os.listdir(folder)
                  if name.endswith('.py'))


def _wheel(wheel_directory, files):
    """Writes a wheel holding files [(archive path, bytes)] plus its RECORD."""
    project = _project()
    info = _dist_info_name(project)
    files = files + [(info + '/' + name, data) for name, data in _dist_info(project)]
    files.append((info + '/WHEEL', b'Wheel-Version: 1.0\nGenerator: build_wheel.py\n'
                                   b'Root-Is-Purelib: true\nTag: py3-none-any\n'))
    record = ''
    for name, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()
        record += '%s,sha256=%s,%d\n' % (name, digest, len(data))
    files.append((info + '/RECORD', (record + info + '/RECORD,,\n').encode()))
    name = '%s-%s-py3-none-any.whl' % (project['name'], project['version'])
    with zipfile.ZipFile(os.path.join(wheel_directory, name), 'w', zipfile.ZIP_DEFLATED) as z:
        for path, data in files:
            z.writestr(zipfile.ZipInfo(path, (1980, 1, 1, 0, 0, 0)), data)
    return name


def _read(path):
    with open(os.path.join(HERE, path), 'rb') as f:
        return f.read()


# PEP 517 and PEP 660 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, [(p.replace(os.sep, '/'), _read(p)) for p in _sources()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file: the installed package is this folder's.
    return _wheel(wheel_directory, [(PACKAGE + '_editable.pth', (HERE + '\n').encode())])


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = '%s-%s' % (project['name'], project['version'])
    name = base + '.tar.gz'
    paths = ['pyproject.toml', 'build_wheel.py', project['readme']] + _sources()
    with tarfile.open(os.path.join(sdist_directory, name), 'w:gz') as tar:
        for path in paths:
            tar.add(os.path.join(HERE, path), arcname=base + '/' + path.replace(os.sep, '/'))
        data = _metadata(project).encode()
        member = tarfile.TarInfo(base + '/PKG-INFO')
        member.size = len(data)
        tar.addfile(member, io.BytesIO(data))
    return name


def write_tree(target):
    """The package and its .dist-info as Debian's dist-packages holds them
    (no RECORD: dpkg keeps the list of files)."""
    project = _project()
    for path in _sources():
        os.makedirs(os.path.join(target, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(target, path), 'wb') as f:
            f.write(_read(path))
    info = os.path.join(target, _dist_info_name(project))
    os.makedirs(info, exist_ok=True)
    for name, data in _dist_info(project):
        with open(os.path.join(info, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    if len(sys.argv) != 3 or sys.argv[1] != '--tree':
        sys.exit('usage: build_wheel.py --tree DIR')
    write_tree(sys.argv[2])
