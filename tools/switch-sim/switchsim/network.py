# The networked switch: eth0 of the switch cabled (a veth pair) to a server
# host, each in a network namespace of its own. The server host is
# 192.0.2.1/24 and runs a real TFTP server (tftpd-hpa) on DIR/tftp and a DHCP
# server (busybox udhcpd) for 192.0.2.0/24. Nothing else is in either
# namespace, so no packet can leave them.
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from . import paths
from .util import SimError, die_with_parent, pid_alive, run, write_file

NETNS_DIR = "/run/netns"
NAME_PREFIX = "swsim-"
SERVER_ADDRESS = "192.0.2.1"
PREFIX_LENGTH = 24
DHCP_FIRST = "192.0.2.100"
DHCP_LAST = "192.0.2.199"
SWITCH_PORT = "eth0"
SERVER_PORT = "srv0"
SERVER_START_SECONDS = 5.0

PLUGGED = "plugged"
UNPLUGGED = "unplugged"

# The switch's /bin/dhclient: one DHCP exchange with busybox's client, which
# configures the port through the script below, then exits.
DHCLIENT = """#!/bin/sh
echo "[switch-sim] dhclient $*" >> /dev/console
port=eth0
for arg; do
  case "$arg" in -*) ;; *) port=$arg ;; esac
done
ifconfig "$port" up
exec udhcpc -n -q -i "$port" -s %s
""" % paths.in_switch("dhclient_script")
DHCLIENT_SCRIPT = """#!/bin/sh
case "$1" in
  deconfig) ifconfig "$interface" 0.0.0.0 ;;
  bound|renew)
    ifconfig "$interface" "$ip" ${subnet:+netmask "$subnet"} up
    for gw in $router; do route add default gw "$gw" dev "$interface"; break; done ;;
esac
exit 0
"""


class NetworkError(SimError):
    pass


def parse_mode(text):
    """--net takes no value (the cable plugged in) or "unplugged"."""
    if text in (None, "", PLUGGED):
        return PLUGGED
    if text == UNPLUGGED:
        return UNPLUGGED
    raise ValueError("--net takes no value or 'unplugged', not %r" % text)


def install_dhclient(root, present):
    """Puts the DHCP client stand-in into the switch's root, or takes it out:
    the loader offers DHCP only where /bin/dhclient exists."""
    for name, body in (("dhclient", DHCLIENT), ("dhclient_script", DHCLIENT_SCRIPT)):
        path = paths.in_root(root, name)
        if present:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            write_file(path, body, 0o755)
        elif os.path.lexists(path):
            os.unlink(path)


def remove_stale_namespaces():
    """Namespaces left by a switch-sim that was killed outright (SIGKILL
    leaves no chance to clean up) are removed by the next one."""
    try:
        names = os.listdir(NETNS_DIR)
    except FileNotFoundError:
        return
    for name in names:
        m = re.fullmatch(re.escape(NAME_PREFIX) + r"(\d+)-(sw|srv)", name)
        if m and not pid_alive(int(m.group(1))):
            # Its servers may outlive it (the TFTP server drops the parent
            # death signal when it sets its user): end them first.
            pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True,
                                  text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ValueError, OSError):
                    pass
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


class Network:
    """The two namespaces, the cable and the servers of one boot. Use as a
    context manager: leaving it (by any way) stops the servers and removes
    the namespaces, which takes the cable with them."""

    def __init__(self, switch_dir, mode=PLUGGED):
        self.switch_dir = switch_dir
        self.mode = mode
        tag = NAME_PREFIX + str(os.getpid())
        self.switch_ns = tag + "-sw"
        self.server_ns = tag + "-srv"
        self.made = []
        self.servers = []
        self.workdir = None

    @property
    def switch_ns_path(self):
        return os.path.join(NETNS_DIR, self.switch_ns)

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *_exc):
        self.close()
        return False

    def _start(self):
        for tool in ("ip", "in.tftpd", "busybox"):
            if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
                raise NetworkError("%s not found (apt-get install iproute2 tftpd-hpa "
                                   "busybox-static)" % tool)
        remove_stale_namespaces()
        tftp_dir = paths.on_host(self.switch_dir, "tftp")
        os.makedirs(tftp_dir, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="switch-sim-net.")

        for ns in (self.switch_ns, self.server_ns):
            run("ip", "netns", "add", ns)
            self.made.append(ns)
        # The pair is made in this namespace under names of its own and moved;
        # a name taken by the machine would otherwise stop it.
        a, b = "swsim%da" % os.getpid(), "swsim%db" % os.getpid()
        a, b = a[-15:], b[-15:]
        run("ip", "link", "add", a, "type", "veth", "peer", "name", b)
        try:
            run("ip", "link", "set", a, "netns", self.switch_ns)
            run("ip", "link", "set", b, "netns", self.server_ns)
        except SimError:
            subprocess.run(["ip", "link", "del", a], capture_output=True)
            raise
        run("ip", "-n", self.switch_ns, "link", "set", a, "name", SWITCH_PORT)
        run("ip", "-n", self.server_ns, "link", "set", b, "name", SERVER_PORT)
        run("ip", "-n", self.switch_ns, "link", "set", "lo", "up")
        run("ip", "-n", self.server_ns, "link", "set", "lo", "up")
        run("ip", "-n", self.server_ns, "addr", "add",
             "%s/%d" % (SERVER_ADDRESS, PREFIX_LENGTH), "dev", SERVER_PORT)
        # The switch's port stays down until the loader configures it. An
        # unplugged cable is the far end left down: eth0 then has no carrier.
        if self.mode == PLUGGED:
            run("ip", "-n", self.server_ns, "link", "set", SERVER_PORT, "up")
            self._start_servers(tftp_dir)

    def _start_servers(self, tftp_dir):
        conf = os.path.join(self.workdir, "udhcpd.conf")
        leases = os.path.join(self.workdir, "udhcpd.leases")
        open(leases, "w").close()
        with open(conf, "w") as f:
            f.write("interface %s\nstart %s\nend %s\nmax_leases 100\n"
                    "lease_file %s\npidfile %s\n"
                    "option subnet 255.255.255.0\noption router %s\noption lease 3600\n"
                    % (SERVER_PORT, DHCP_FIRST, DHCP_LAST, leases,
                       os.path.join(self.workdir, "udhcpd.pid"), SERVER_ADDRESS))
        log = open(os.path.join(self.workdir, "servers.log"), "ab")
        try:
            # --secure: the server chroots into DIR/tftp and serves only that.
            tftpd = ["in.tftpd", "--foreground", "--secure", "--user", "root",
                     "--address", "%s:69" % SERVER_ADDRESS, tftp_dir]
            udhcpd = ["busybox", "udhcpd", "-f", conf]
            for argv in (tftpd, udhcpd):
                self.servers.append(subprocess.Popen(
                    ["ip", "netns", "exec", self.server_ns] + argv,
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    preexec_fn=die_with_parent, close_fds=True))
        finally:
            log.close()
        self._wait_for_servers()

    def _wait_for_servers(self):
        """Both servers have bound their ports before the switch boots."""
        deadline = time.monotonic() + SERVER_START_SECONDS
        while True:
            for p in self.servers:
                if p.poll() is not None:
                    raise NetworkError("a server of the network stopped at once: %s"
                                       % self._server_log())
            out = subprocess.run(["ip", "netns", "exec", self.server_ns, "ss", "-Hlun"],
                                 capture_output=True, text=True).stdout
            if ":69 " in out and ":67 " in out:
                return
            if time.monotonic() > deadline:
                raise NetworkError("the TFTP and DHCP servers did not start: %s"
                                   % self._server_log())
            time.sleep(0.05)

    def _server_log(self):
        try:
            with open(os.path.join(self.workdir, "servers.log")) as f:
                return f.read().strip()
        except OSError:
            return ""

    def close(self):
        # A second SIGTERM or SIGHUP must not cut the clean-up short.
        held = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGTERM, signal.SIGHUP)}
        try:
            self._close()
        finally:
            for s, h in held.items():
                signal.signal(s, h)

    def _close(self):
        for p in self.servers:
            if p.poll() is None:
                p.terminate()
        for p in self.servers:
            try:
                p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.servers = []
        for ns in reversed(self.made):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.made = []
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None
