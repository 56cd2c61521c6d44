# Small helpers every part of switch-sim uses: its error type, running a
# program that must succeed, files replaced whole, and processes that end
# with the one that started them.
import ctypes
import os
import shutil
import signal
import subprocess

PR_SET_PDEATHSIG = 1


class SimError(Exception):
    """Something switch-sim cannot do; the text says why (shown as is)."""


def run(*argv):
    """Runs a program that must succeed; its standard output."""
    r = subprocess.run(list(argv), capture_output=True, text=True)
    if r.returncode != 0:
        raise SimError("%s: %s" % (" ".join(argv), (r.stderr or r.stdout).strip()))
    return r.stdout


def prctl(option, value):
    ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)


def die_with_parent():
    """For preexec_fn: the child is killed when this process ends, however."""
    prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def child_pids(pid):
    """The processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:   # the name, in parentheses, may hold spaces
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass   # not a process, or ended meanwhile
    return found


def write_file(path, data, mode=0o644):
    """Replaces path by a file holding data (text or bytes) with that mode."""
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def copy_program(src, dst):
    tmp = dst + ".new"
    shutil.copyfile(src, tmp)
    os.chmod(tmp, 0o755)
    os.replace(tmp, dst)


def replace_symlink(target, path):
    """Makes path a symbolic link to target, whatever was there."""
    if os.path.islink(path) and os.readlink(path) == target:
        return
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)


def replace_tree(src, dst):
    """Makes the folder dst hold exactly what src holds."""
    for name in os.listdir(dst):
        path = os.path.join(dst, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    shutil.copytree(src, dst, symlinks=True, dirs_exist_ok=True)
