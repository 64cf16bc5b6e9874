#!/usr/bin/python3
"""Seeds for fuzz_unzip, made at fuzz time by the real tools (zip, 7zz, Python's zipfile)
and taken from the extractor's shrink and implode fixtures; each archive also comes with
a trailing byte for every run mode the fuzzer picks from the last byte.

    /usr/bin/python3 fuzz/make_unzip_seeds.py <corpus folder>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, '..', 'tests', 'zip', 'fixtures')


def main():
    corpus = sys.argv[1]
    os.makedirs(corpus, exist_ok=True)
    archives = {}
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, 'src')
        os.makedirs(os.path.join(src, 'sub'))
        with open(os.path.join(src, 'a.txt'), 'wb') as f:
            f.write(b'alpha beta gamma ' * 40)
        with open(os.path.join(src, 'sub', 'b.bin'), 'wb') as f:
            f.write(bytes(range(256)) * 4)
        for name, cmd in {
            'zip9': ['zip', '-q', '-r', '-9', '../out.zip', '.'],
            'zip0': ['zip', '-q', '-r', '-0', '../out.zip', '.'],
            'zipenc': ['zip', '-q', '-r', '-P', 'pw', '../out.zip', '.'],
            'deflate64': ['7zz', 'a', '-tzip', '-mm=Deflate64', '../out.zip', '.'],
        }.items():
            out = os.path.join(tmp, 'out.zip')
            if os.path.exists(out):
                os.remove(out)
            subprocess.run(cmd, cwd=src, stdout=subprocess.DEVNULL, check=True)
            archives[name] = open(out, 'rb').read()
        py = os.path.join(tmp, 'py.zip')
        with zipfile.ZipFile(py, 'w') as z:
            z.writestr('stored.txt', b'stored', compress_type=zipfile.ZIP_STORED)
            z.writestr('d/', b'')
            z.writestr('d/text.txt', b'line one\r\nline two\n' * 20, compress_type=zipfile.ZIP_DEFLATED)
            z.comment = b'comment'
        archives['python'] = open(py, 'rb').read()
    for name in ('shrink.zip', 'implode.zip'):
        archives[name[:-4]] = open(os.path.join(FIXTURES, name), 'rb').read()
    for name, data in archives.items():
        for mode in (0, 1, 2, 3, 5, 6, 7, 0x20 | 0x80):
            with open(os.path.join(corpus, '%s-%02x' % (name, mode)), 'wb') as f:
                f.write(data + bytes([mode]))


if __name__ == '__main__':
    main()
