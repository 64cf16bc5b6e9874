"""The extractor against archives made by the real tools (Info-ZIP zip 3.0, 7-Zip,
Python's zipfile), checked byte for byte with diff -r, with times and result codes
compared to Info-ZIP unzip 6.0."""
import os
import shutil
import zipfile

import pytest

from conftest import FIXTURES, TREE_TIME, UNDER_WINE, keb, mtimes, run, same_tree


def extract_both(work, archive, *extra):
    """Our extraction into out/ and unzip's into ref/; returns both codes and our output."""
    rc, out = keb(['-q', '2', *extra, '-d', 'out', archive], work)
    ref_rc, ref_out = run(['unzip', '-q', '-o', *extra, '-d', 'ref', archive], work)
    return rc, ref_rc, out, ref_out


@pytest.mark.parametrize('level', ['-0', '-1', '-9'])
def test_info_zip_levels(tmp_path, tree, level):
    run(['zip', '-q', '-r', level, '../a.zip', '.'], tree)
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    ok, diff = same_tree(tree, tmp_path / 'out')
    assert ok, diff
    # File and folder times as unzip sets them (the extended timestamp zip stores).
    assert mtimes(tmp_path / 'out') == mtimes(tmp_path / 'ref')
    assert mtimes(tmp_path / 'out')['text.txt'] == TREE_TIME
    rc, out = keb(['-t', 'a.zip'], tmp_path)
    assert rc == 0 and 'No errors detected in compressed data of a.zip.' in out, out


def test_info_zip_without_extra_fields(tmp_path, tree):
    # -X: no extended timestamps; times come from the DOS fields, taken as local time.
    run(['zip', '-q', '-r', '-X', '../a.zip', '.'], tree)
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    assert same_tree(tree, tmp_path / 'out')[0]
    assert mtimes(tmp_path / 'out') == mtimes(tmp_path / 'ref')


def test_traditional_encryption(tmp_path, tree):
    run(['zip', '-q', '-r', '-P', 'secret word', '../a.zip', '.'], tree)
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip', '-P', 'secret word')
    assert (rc, ref_rc) == (0, 0), out
    assert same_tree(tree, tmp_path / 'out')[0]
    # A wrong password. The check byte lets one wrong password in 256 through to a CRC
    # error; take one that unzip turns away on every entry, then both must agree.
    run(['zip', '-q', '-r', '-D', '-P', 'secret word', '../files.zip', '.'], tree)
    wrong = next(pw for pw in ('wrong%d' % i for i in range(50))
                 if run(['unzip', '-q', '-P', pw, '-d', 'probe', 'files.zip'], tmp_path)[0] == 82
                 and run(['unzip', '-q', '-P', pw, '-d', 'probe', 'a.zip'], tmp_path)[0] == 1)
    # Files only: every entry skipped for its password (82). With folder entries, which
    # are created, some entries were processed: warnings only (1).
    rc, out = keb(['-P', wrong, '-d', 'bad', 'files.zip'], tmp_path)
    assert rc == 82, out
    assert 'incorrect password' in out
    rc, out = keb(['-P', wrong, '-d', 'bad2', 'a.zip'], tmp_path)
    assert rc == 1, out


def test_data_descriptors_from_a_pipe(tmp_path, tree):
    # Written to a pipe, zip cannot seek back: sizes and CRC follow the data.
    rc, _ = run(['sh', '-c', 'zip -q -r - . | cat > ../a.zip'], tree)
    assert rc == 0
    assert all(i.flag_bits & 8 for i in zipfile.ZipFile(tmp_path / 'a.zip').infolist() if not i.is_dir())
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    assert same_tree(tree, tmp_path / 'out')[0]
    # Encrypted with a data descriptor: the password check byte comes from the time.
    rc, _ = run(['sh', '-c', 'zip -q -P pw -r - . | cat > ../e.zip'], tree)
    rc, out = keb(['-P', 'pw', '-d', 'enc', 'e.zip'], tmp_path)
    assert rc == 0, out
    assert same_tree(tree, tmp_path / 'enc')[0]


def test_prefix_and_adjusted_offsets(tmp_path, tree):
    run(['zip', '-q', '-r', '../a.zip', '.'], tree)
    with open(tmp_path / 'b.zip', 'wb') as f:
        f.write(b'#!/bin/sh\necho a stub in front\n' * 10)
        f.write((tmp_path / 'a.zip').read_bytes())
    rc, ref_rc, out, _ = extract_both(tmp_path, 'b.zip')
    assert (rc, ref_rc) == (1, 1), out
    assert same_tree(tree, tmp_path / 'out')[0]
    rc, _ = run(['zip', '-q', '-A', 'b.zip'], tmp_path)
    assert rc == 0
    shutil.rmtree(tmp_path / 'out')
    shutil.rmtree(tmp_path / 'ref')
    rc, ref_rc, out, _ = extract_both(tmp_path, 'b.zip')
    assert (rc, ref_rc) == (0, 0), out
    assert same_tree(tree, tmp_path / 'out')[0]


def test_longest_comment(tmp_path, tree):
    comment = bytes((i * 7) % 26 + 97 for i in range(65535))
    with zipfile.ZipFile(tmp_path / 'a.zip', 'w', zipfile.ZIP_DEFLATED) as z:
        z.write(tree / 'text.txt', 'text.txt')
        z.comment = comment
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    assert (tmp_path / 'out' / 'text.txt').read_bytes() == (tree / 'text.txt').read_bytes()
    rc, out = keb(['-z', 'a.zip'], tmp_path)
    assert rc == 0
    assert out == comment.decode() + '\n\n'


def test_seven_zip_deflate64(tmp_path, tree):
    rc, out = run(['7zz', 'a', '-tzip', '-mm=Deflate64', '-mx=9', '../a.zip', '.'], tree)
    assert rc == 0, out
    methods = {i.filename: i.compress_type for i in zipfile.ZipFile(tmp_path / 'a.zip').infolist()}
    assert methods['repeat.bin'] == 9
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    ok, diff = same_tree(tree, tmp_path / 'out')
    assert ok, diff
    # Long-range repeats came out as matches: far smaller than the data.
    info = zipfile.ZipFile(tmp_path / 'a.zip').getinfo('repeat.bin')
    assert info.compress_size < info.file_size // 3
    rc, out = keb(['-t', 'a.zip'], tmp_path)
    assert rc == 0, out


def test_seven_zip_deflate(tmp_path, tree):
    rc, out = run(['7zz', 'a', '-tzip', '-mm=Deflate', '-mx=9', '../a.zip', '.'], tree)
    assert rc == 0, out
    rc, ref_rc, out, _ = extract_both(tmp_path, 'a.zip')
    assert (rc, ref_rc) == (0, 0), out
    assert same_tree(tree, tmp_path / 'out')[0]


def test_python_zipfile_methods(tmp_path, tree):
    data = (tree / 'text.txt').read_bytes()
    with zipfile.ZipFile(tmp_path / 'a.zip', 'w') as z:
        z.writestr('stored.txt', data, compress_type=zipfile.ZIP_STORED)
        z.writestr('deflated.txt', data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
        z.writestr('bzip2.txt', data, compress_type=zipfile.ZIP_BZIP2)
        z.writestr('lzma.txt', data, compress_type=zipfile.ZIP_LZMA)
        with z.open('zip64.txt', 'w', force_zip64=True) as f:
            f.write(data)
    rc, out = keb(['-d', 'out', 'a.zip'], tmp_path)
    # bzip2 and LZMA are skipped cleanly, everything else is extracted.
    assert rc == 81, out
    assert 'skipping: bzip2.txt' in out and 'skipping: lzma.txt' in out
    for name in ('stored.txt', 'deflated.txt', 'zip64.txt'):
        assert (tmp_path / 'out' / name).read_bytes() == data, name
    assert not (tmp_path / 'out' / 'bzip2.txt').exists()
    ref_rc, _ = run(['unzip', '-q', '-d', 'ref', 'a.zip'], tmp_path)
    assert ref_rc == 81     # unzip skips LZMA the same way


@pytest.mark.parametrize('archive', ['shrink.zip', 'implode.zip'])
def test_old_methods(tmp_path, archive):
    shutil.copy(os.path.join(FIXTURES, archive), tmp_path / archive)
    # The fixtures come from a test-only encoder; both peers must accept them.
    assert run(['unzip', '-tq', archive], tmp_path)[0] == 0
    assert run(['7zz', 't', archive], tmp_path)[0] == 0
    rc, ref_rc, out, _ = extract_both(tmp_path, archive)
    assert (rc, ref_rc) == (0, 0), out
    ok, diff = same_tree(tmp_path / 'ref', tmp_path / 'out')
    assert ok, diff
    rc, out = keb(['-t', archive], tmp_path)
    assert rc == 0, out


def test_listing_matches_the_directory(tmp_path, tree):
    run(['zip', '-q', '-r', '-9', '../a.zip', '.'], tree)
    rc, out = keb(['-l', 'a.zip'], tmp_path)
    assert rc == 0, out
    lines = [l.split('\t') for l in out.splitlines() if l and not l.startswith('totals')]
    infos = zipfile.ZipFile(tmp_path / 'a.zip').infolist()
    assert len(lines) == len(infos)
    for fields, info in zip(lines, infos):
        assert fields[4].strip() == info.filename
        assert int(fields[0]) == info.file_size
        assert int(fields[1]) == info.compress_size
        assert int(fields[6], 16) == info.CRC
        assert fields[5] == ('Stored' if info.compress_type == 0 else 'Defl:X')
    totals = out.splitlines()[-1].split('\t')
    assert int(totals[1]) == sum(i.file_size for i in infos)
    assert int(totals[4]) == len(infos)


def test_overwrite_and_freshen_against_unzip(tmp_path, tree):
    run(['zip', '-q', '-r', '../a.zip', '.'], tree)
    for folder in ('out', 'ref'):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / 'text.txt').write_bytes(b'older copy')
        os.utime(tmp_path / folder / 'text.txt', (TREE_TIME - 100, TREE_TIME - 100))
    rc, out = keb(['-f', '-d', 'out', 'a.zip'], tmp_path)
    ref_rc, _ = run(['unzip', '-q', '-f', '-o', '-d', 'ref', 'a.zip'], tmp_path)
    assert rc == ref_rc == 0, out
    # Freshen replaced the older file and created nothing new, as unzip does.
    assert sorted(os.listdir(tmp_path / 'out')) == sorted(os.listdir(tmp_path / 'ref')) == ['text.txt']
    assert (tmp_path / 'out' / 'text.txt').read_bytes() == (tree / 'text.txt').read_bytes()
    rc, out = keb(['-n', '-d', 'out', 'a.zip'], tmp_path)
    assert rc == 0
    assert 'Target file exists.\nSkipping out/text.txt' in out.replace('\\', '/')


@pytest.mark.skipif(not UNDER_WINE, reason='Windows attributes: under Wine only')
def test_attributes_under_wine(tmp_path):
    with zipfile.ZipFile(tmp_path / 'a.zip', 'w') as z:
        for name, attrs in (('plain.txt', 0x20), ('readonly.txt', 0x21)):
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 13, 32, 20))
            info.create_system = 0
            info.external_attr = attrs
            z.writestr(info, name)
    rc, out = keb(['-d', 'out', 'a.zip'], tmp_path)
    assert rc == 0, out
    # Wine keeps the read-only attribute as the missing write permission.
    assert os.stat(tmp_path / 'out' / 'plain.txt').st_mode & 0o200
    assert not os.stat(tmp_path / 'out' / 'readonly.txt').st_mode & 0o200
    ref_rc, _ = run(['unzip', '-q', '-d', 'ref', 'a.zip'], tmp_path)
    assert int(os.stat(tmp_path / 'out' / 'plain.txt').st_mtime) == int(os.stat(tmp_path / 'ref' / 'plain.txt').st_mtime)
