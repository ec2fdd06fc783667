#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""shifting_fs.py [--skip-first-listing] BACKING MOUNTPOINT [fuse options]

Mounts BACKING at MOUNTPOINT as the file systems of a Mac behave, for the tests:
  --skip-first-listing  the first listing of each directory shows every other entry only, as
                        a listing on HFS+, SMB or exFAT skips entries when others are deleted
                        while it is read; later listings show them all
Returns once the mount is in place and serves it in the background until fusermount -u.
"""
import os
import stat
import sys

import fuse

fuse.fuse_python_api = (0, 2)


class ShiftingFs(fuse.Fuse):
    def real(self, path):
        """The backing path of `path`."""
        return os.path.join(self.backing, path.lstrip("/"))

    def readdir(self, path, offset):
        entries = sorted(os.scandir(self.real(path)), key=lambda entry: entry.name)
        if self.skip_first_listing and path not in self.listed:
            entries = entries[::2]
        self.listed.add(path)
        for entry in entries:
            kind = stat.S_IFMT(entry.stat(follow_symlinks=False).st_mode)
            yield fuse.Direntry(entry.name, type=kind)

    def create(self, path, flags, mode):
        os.close(os.open(self.real(path), flags, mode))

    def open(self, path, flags):
        os.close(os.open(self.real(path), flags & ~(os.O_CREAT | os.O_TRUNC)))

    def read(self, path, size, offset):
        with open(self.real(path), "rb") as file:
            return os.pread(file.fileno(), size, offset)

    def write(self, path, data, offset):
        with open(self.real(path), "r+b") as file:
            return os.pwrite(file.fileno(), data, offset)

    def utimens(self, path, accessed, modified):
        times = tuple(time.tv_sec * 10**9 + time.tv_nsec for time in (accessed, modified))
        os.utime(self.real(path), ns=times, follow_symlinks=False)

    def symlink(self, target, path):
        os.symlink(target, self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def statfs(self):
        return os.statvfs(self.backing)


# The operations that take one path and pass the rest of their arguments on.
for name, call in {"getattr": os.lstat, "readlink": os.readlink, "mkdir": os.mkdir,
                   "rmdir": os.rmdir, "unlink": os.unlink, "mknod": os.mknod,
                   "chmod": os.chmod, "chown": os.lchown, "truncate": os.truncate}.items():
    setattr(ShiftingFs, name, lambda self, path, *rest, call=call: call(self.real(path), *rest))

if __name__ == "__main__":
    args = sys.argv[1:]
    server = ShiftingFs(usage=__doc__)
    server.multithreaded = False  # one request at a time keeps the first listings in order
    server.skip_first_listing = "--skip-first-listing" in args
    args = [arg for arg in args if arg != "--skip-first-listing"]
    server.backing = os.path.realpath(args.pop(0))  # the daemon leaves the working directory
    server.listed = set()
    server.parse(args=args, errex=1)
    server.main()
