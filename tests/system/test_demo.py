# scripts/demo.sh as a new user runs it: it boots the sample application; `demo.sh rescue`
# prints the lines to follow, which install the newer sample over TFTP; the next boot runs it.
import switch_harness as h
from switch_harness import PROMPT

INSTRUCTIONS = (r"key: +(\S) .*\r\n +file name: +(\S+)\r\n +answers: +IP addr (\S+), "
                r"Netmask (\S+), Gateway Enter, Server addr (\S+); (\d) at .*; then (\S) ")


def demo(tmp_path, *args):
    env = h.tool_env(DEMO_DIR=str(tmp_path / "demo"), DEMO_TIME_SCALE="0")
    return h.spawn(["bash", str(h.REPO / "scripts" / "demo.sh"), *args], env, timeout=60)


def test_demo_then_rescue_as_printed_then_the_next_demo_runs_the_newer_application(tmp_path):
    switch = tmp_path / "demo" / "switch"
    c = demo(tmp_path)
    c.expect_in_order("Booting image '1'", " Sample switch application 1.0 is running",
                      "=== the switch is kept in %s\n" % switch, "reach Rescue Mode:  ")
    c.expect("bash scripts/demo.sh rescue\n")
    assert c.finish()[1] == 0

    c = demo(tmp_path, "rescue")
    c.expect("result: installs whole")
    c.child.expect(INSTRUCTIONS)
    key, name, ip, netmask, server, slot, leave = c.child.match.groups()
    c.expect("Entering Rescue Mode.")
    c.expect(PROMPT)
    c.key(key)
    h.tftp_answers(c, (ip, netmask, "", server, name))
    c.expect(h.SLOT_QUESTION)
    c.send(slot + "\r")
    c.expect_in_order("Image%s updated succeeded\n" % slot, PROMPT)
    c.key(leave)
    c.expect_in_order(h.REBOOT, "=== the switch is kept in %s\n" % switch)
    assert c.finish()[1] == 0

    c = demo(tmp_path)
    c.expect_in_order("Booting image '%s'" % slot, " Sample switch application 2.0 is running")
    assert c.finish()[1] == 0
