#!/usr/bin/env python3
"""Fails when a file includes a header from a higher floor, from a folder that
its folder's target does not link, or another folder's header by bare name.

The floors are in tools/floors.txt; the links are read from each folder's
CMakeLists.txt (the orv::NAME targets that it links, and theirs in turn)."""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..'))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
LINK = re.compile(r'target_link_libraries\(([^)]*)\)', re.S)
ALIAS = re.compile(r'add_library\((orv::\w+)\s+ALIAS')


def read(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        return f.read()


def floors():
    result = {}
    for line in read(os.path.join(ROOT, 'tools', 'floors.txt')).splitlines():
        words = line.split('#')[0].split()
        for folder in words[1:]:
            result[folder] = int(words[0])
    return result


def links(folders):
    """Each folder's directly linked folders, from its CMakeLists.txt."""
    owner, direct = {}, {}
    for folder in folders:
        text = read(os.path.join(ROOT, folder, 'CMakeLists.txt'))
        for alias in ALIAS.findall(text):
            owner[alias] = folder
        direct[folder] = {name for call in LINK.findall(text) for name in re.findall(r'orv::\w+', call)}
    closure = {}
    for folder in folders:
        seen, todo = set(), [owner[n] for n in direct[folder] if n in owner]
        while todo:
            other = todo.pop()
            if other not in seen:
                seen.add(other)
                todo += [owner[n] for n in direct[other] if n in owner]
        closure[folder] = seen - {folder}
    return closure


def main():
    floor = floors()
    linked = links(floor)
    headers = {}
    sources = []
    for folder in floor:
        for directory, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in names:
                path = os.path.relpath(os.path.join(directory, name), ROOT)
                if name.endswith('.h'):
                    headers.setdefault(name, []).append(path)
                if name.endswith(('.h', '.cpp')):
                    sources.append(path)
    faults = []
    for path in sorted(sources):
        folder = path.split('/')[0]
        for included in INCLUDE.findall(read(os.path.join(ROOT, path))):
            if '/' not in included:
                if not os.path.exists(os.path.join(ROOT, os.path.dirname(path), included)) and included in headers:
                    faults.append(f'{path}: "{included}" is {headers[included][0]}: include it with its folder')
                continue
            other = included.split('/')[0]
            if other == folder or other not in floor:
                continue
            if floor[other] >= floor[folder]:
                faults.append(f'{path}: "{included}" is on floor {floor[other]} ({other}), '
                              f'not below {folder} (floor {floor[folder]})')
            elif other not in linked[folder]:
                faults.append(f'{path}: "{included}": the target of {folder} does not link {other}')
    for fault in faults:
        print(fault)
    print(f'{len(sources)} files checked, {len(faults)} includes against the floors')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
