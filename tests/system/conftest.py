# Fixtures of the system tests: the build to test, slotimg, a fresh simulated
# switch per test, and sample application images. The tests need root
# (switch-sim boots in its own namespaces) and the built loader.
import os

import pytest

import switch_harness as h


def _missing_prerequisite():
    if os.geteuid() != 0:
        return "system tests need root (switch-sim boots in namespaces with chroot)"
    build = h.build_dir()
    for program in ("slotboot-sim", "slotimg"):
        if not (build / program).is_file():
            return "%s not built in %s" % (program, build)
    if h.loader_args() and not (h.ppc_build_dir() / "slotboot-sim").is_file():
        return "slotboot-sim not built in %s" % h.ppc_build_dir()
    return None


def pytest_collection_modifyitems(config, items):
    reason = _missing_prerequisite()
    if reason:
        for item in items:
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session")
def slotimg():
    return h.build_dir() / "slotimg"


@pytest.fixture
def switch(tmp_path):
    """A new switch (erased flash, slot 1 selected, no slot files)."""
    sw = h.Switch(tmp_path / "switch", tmp_path / "work").new()
    yield sw
    for console in getattr(sw, "consoles", []):
        console.close()
    # pytest keeps the last runs' directories: drop the bulk (erased flash)
    # and keep the slot files, the register and the bus log for a look.
    for part in (sw.path / "flash").glob("*.bin"):
        part.unlink()


@pytest.fixture
def app_image(tmp_path, slotimg):
    """Makes an application image: app_image(name, **tree options) -> path.
    Tree options are those of switch_harness.make_app_tree; image options
    (image_type, version, layout, header_length) go to slotimg."""
    counter = [0]

    def make(banner="SAMPLE APP 1.0", image_type=h.APPLICATION, version="1.0.0.1",
             layout=None, header_length=None, **tree_options):
        counter[0] += 1
        base = tmp_path / "work" / ("app%d" % counter[0])
        tree = h.make_app_tree(base / "tree", banner=banner, **tree_options)
        archive = h.make_archive(tree, base / "app.tar.gz")
        return h.make_image(slotimg, archive, base / "app.img", image_type=image_type,
                            version=version, layout=layout, header_length=header_length)
    return make


@pytest.fixture
def boot(switch):
    """Boots the switch: boot(**options) -> Console; closed after the test."""
    consoles = []
    switch.consoles = consoles

    def start(**options):
        console = switch.boot(**options)
        consoles.append(console)
        return console
    return start

