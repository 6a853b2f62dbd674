"""What the Python scripts that run packed launchers under Wine share."""
import argparse
import atexit
import contextlib
import functools
import getpass
import os
import shutil
import tempfile

COMMON_OPTIONS = ("--pack", "--stub", "--app", "--wine-run", "--work")


class ScenarioFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def options(*names):
    """A parser that requires each option named, or the common ones."""
    parser = argparse.ArgumentParser()
    for name in names or COMMON_OPTIONS:
        parser.add_argument(name, required=True)
    return parser


def wine_prefix(wine_run):
    """WINEPREFIX, else the one scripts/wine-run uses: its tree's build/wineprefix."""
    return os.environ.get("WINEPREFIX") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(wine_run))), "build", "wineprefix")


def wine_temp(prefix):
    return os.path.join(prefix, "drive_c", "users", getpass.getuser(), "Temp")


def wine_env(prefix, extra=None):
    """This environment without the caller's TAVRIK_ settings, for `prefix`."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("TAVRIK_")}
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    env.update(extra or {})
    return env


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def fresh_work(path, name):
    """Empties the work directory and returns it absolute; None, having said
    so, when it is not named `name`: only the build tree's is ever deleted."""
    work = os.path.abspath(path)
    if os.path.basename(work) != name:
        print("refusing an unexpected work directory")
        return None
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    return work


@functools.lru_cache(maxsize=None)
def scratch_cwd():
    """An empty directory for Windows programs to start in, never the build
    tree: one per script, removed when it exits."""
    cwd = tempfile.mkdtemp(prefix="tavrik_cwd_")
    atexit.register(shutil.rmtree, cwd, True)
    return cwd


def device_links(prefix, *devices):
    """The dosdevices links for `devices` ("t:", "unc/localhost/share"); None,
    having said so, when one exists: another's mapping is never touched."""
    links = [os.path.join(prefix, "dosdevices", *device.split("/")) for device in devices]
    for link in links:
        if os.path.lexists(link):
            print(f"{link} is already mapped ({os.readlink(link)}); not touching it")
            return None
    return links


@contextlib.contextmanager
def mapped(links, targets):
    """Each link of device_links onto its directory of `targets` meanwhile."""
    made = []
    try:
        for link, target in zip(links, targets):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink(target, link)
            made.append(link)
        yield
    finally:
        for link in made:
            os.unlink(link)
