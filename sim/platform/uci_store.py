"""A folder of UCI packages with changes staged in memory until commit.

Staged changes belong to the store, not to a client: whoever commits a package commits
everything staged for it. A commit replaces the package's file atomically (temporary file,
fsync, rename, fsync of the folder), so a crash at any moment leaves either the old or the
new file. Files are read again on every access that has nothing staged, like uci loading
a package for each request.
"""

import os
import tempfile

import uci_text


class InvalidName(Exception):
    """The package name breaks uci's naming rules."""


class NoSuchPackage(Exception):
    """There is no file for the package."""


class BrokenPackage(Exception):
    """The package's file cannot be read or parsed."""


class Store:
    def __init__(self, folder, log):
        self.folder = os.path.abspath(folder)
        self.log = log
        self._staged = {}  # package name -> Package

    def _path(self, name):
        if not uci_text.valid_package(name):
            raise InvalidName(name)
        return os.path.join(self.folder, name)

    def names(self):
        found = set(self._staged)
        try:
            for entry in os.listdir(self.folder):
                if uci_text.valid_package(entry) and os.path.isfile(os.path.join(self.folder, entry)):
                    found.add(entry)
        except OSError as e:
            self.log("uci: cannot list %s: %s" % (self.folder, e))
        return sorted(found)

    def committed(self, name):
        path = self._path(name)
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            raise NoSuchPackage(name)
        except OSError as e:
            self.log("uci: cannot read %s: %s" % (path, e))
            raise BrokenPackage(name)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            self.log("uci: %s is not UTF-8 (%s); replacing the bad bytes" % (path, e))
            text = raw.decode("utf-8", "replace")
        try:
            return uci_text.parse(text, name)
        except uci_text.ParseError as e:
            self.log("uci: cannot parse %s: %s" % (path, e))
            raise BrokenPackage(name)

    def view(self, name):
        """The package as clients see it: staged changes over the committed file.

        Do not modify the result; use edit()."""
        self._path(name)
        staged = self._staged.get(name)
        return staged if staged is not None else self.committed(name)

    def edit(self, name):
        """The staged copy of a package, made on first use; call settle() afterwards."""
        self._path(name)
        if name not in self._staged:
            self._staged[name] = self.committed(name)
        return self._staged[name]

    def settle(self, name):
        """Drops a staged copy that no longer differs from the file."""
        staged = self._staged.get(name)
        if staged is None:
            return
        try:
            if staged == self.committed(name):
                del self._staged[name]
        except (NoSuchPackage, BrokenPackage):
            pass

    def staged(self, name):
        return name in self._staged

    def revert(self, name):
        self._path(name)
        self._staged.pop(name, None)

    def commit(self, name):
        """Writes the staged changes of one package; nothing staged writes nothing."""
        path = self._path(name)
        staged = self._staged.get(name)
        if staged is None:
            if not os.path.isfile(path):
                raise NoSuchPackage(name)
            return
        _write_atomically(path, uci_text.dumps(staged))
        del self._staged[name]


def _write_atomically(path, text):
    folder = os.path.dirname(path)
    mode = 0o644
    try:
        mode = os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        pass
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text.encode("utf-8"))
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.rename(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)
