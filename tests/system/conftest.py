# The system tests' fixtures: slotimg, a new switch per test, its boots, application images.
import os
import shutil
import sys

import pytest

import switch_harness as h

sys.path.insert(0, str(h.SWITCH_SIM.parent))
from switchsim.vm import is_static  # noqa: E402

# The rows that also or only run on the virtual machine (the Linux loader on real drivers);
# every other test that takes `engine` runs on the namespace engine only.
BOTH, VM_ONLY = (h.NS, h.VM), (h.VM,)
VM_ROWS = {
    "test_boot[slot1-corrupt]": BOTH,                    # fallback, the register's record
    "test_every_flash_type_and_an_application_into_slot_two_then_a_cancelled_transfer_then_"
    "the_boot": BOTH,
    "test_keys_at_the_prompt_then_r_reboots[v]": BOTH,   # installed versions from the MTDs
    "test_mac_then_full_rescue_installs_slot_1_and_the_next_boot_runs_it": BOTH,  # TFTP, M
    "test_no_answer_three_attempts_then_abort": BOTH,    # unplugged: the e1000 without link
    "test_d_answered_n_keeps_user_then_y_recreates_it": BOTH,
    "test_image_in_the_rescue_partition[application-answered-2]": BOTH,
    "test_power_cut_while_a_slot_file_is_written[other-slot-sound]": BOTH,
    # Only a flash that takes its time can lose power in the middle of a write.
    "test_power_cut_while_a_flash_partition_is_written": VM_ONLY,
}


def pytest_configure(config):
    config.addinivalue_line("markers", "vm: boots the switch in the virtual machine")


def pytest_generate_tests(metafunc):
    if "engine" in metafunc.fixturenames:
        metafunc.parametrize("engine", [h.NS, h.VM])


def row_name(item):   # the test's id without the engine: "test_boot[normal]"
    params = item.callspec.id
    for engine in (h.NS, h.VM):
        params = params.removeprefix(engine + "-").removesuffix("-" + engine)
    return item.originalname + ("[%s]" % params if params not in (h.NS, h.VM) else "")


def vm_missing():
    loader = h.build_dir() / "slotboot"
    if shutil.which("qemu-system-x86_64") is None:
        return "qemu-system-x86_64 not installed"
    if not loader.is_file():
        return "not built: %s" % loader
    # A sanitizer build's loader is no static program: the machine has no libraries.
    return None if is_static(loader) else "%s is no static program" % loader


def pytest_collection_modifyitems(config, items):
    ppc = bool(h.loader_args())   # the PowerPC run repeats the namespace rows only
    every = os.environ.get("SLOTBOOT_VM_ROWS") == "all"   # to look for new differences
    engine = {i: i.callspec.params["engine"] for i in items
              if getattr(i, "callspec", None) and "engine" in i.callspec.params}
    dropped = [i for i, e in engine.items() if e not in VM_ROWS.get(
        row_name(i), (h.NS, h.VM) if every else (h.NS,)) or (ppc and e == h.VM)]
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = [i for i in items if i not in dropped]
    loader = (h.ppc_build_dir() if ppc else h.build_dir()) / "slotboot-sim"
    missing = " ".join(str(p) for p in (loader, h.build_dir() / "slotimg") if not p.is_file())
    reason = "system tests need root (switch-sim boots in namespaces with chroot)" \
        if os.geteuid() != 0 else missing and "not built: " + missing
    vm_reason = reason or vm_missing()
    for item in items:
        on_vm = engine.get(item) == h.VM
        if on_vm:
            item.add_marker(pytest.mark.vm)
        skip = vm_reason if on_vm else reason
        if skip:
            item.add_marker(pytest.mark.skip(reason=skip))


@pytest.fixture(scope="session")
def slotimg():
    return h.build_dir() / "slotimg"


@pytest.fixture
def switch(request, tmp_path, engine):
    """A new switch booted by `engine`; its erase size: the test's indirect parameter."""
    sw = h.Switch(tmp_path / "switch", tmp_path / "work", engine).new(
        getattr(request, "param", 65536))
    yield sw
    # pytest keeps the last runs' directories: not their flash
    for part in (sw.path / "flash").glob("*.bin"):
        part.unlink()


@pytest.fixture
def app_image(tmp_path, slotimg):
    """app_image(banner, **options of make_app_tree or make_image) -> a new image's path."""
    made = []

    def make(banner="SAMPLE APP 1.0", distro_id=True, extra=None, **image_options):
        made.append(tmp_path / "work" / ("app%d" % len(made)))
        tree = h.make_app_tree(made[-1] / "tree", banner, distro_id, extra)
        return h.make_image(slotimg, h.make_archive(tree, made[-1] / "app.tar.gz"),
                            made[-1] / "app.img", **image_options)
    return make


@pytest.fixture
def boot(switch):
    """boot(**options) -> a new boot's Console, closed after the test."""
    consoles = []
    yield lambda **options: consoles.append(switch.boot(**options)) or consoles[-1]
    for console in consoles:
        console.close()
