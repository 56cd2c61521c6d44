# Fixtures of the system tests: slotimg, a fresh simulated switch per test, its
# boots, and sample application images. They need root and the built loader.
import os

import pytest

import switch_harness as h


def pytest_collection_modifyitems(config, items):
    loader = (h.ppc_build_dir() if h.loader_args() else h.build_dir()) / "slotboot-sim"
    missing = " ".join(str(p) for p in (loader, h.build_dir() / "slotimg") if not p.is_file())
    reason = "system tests need root (switch-sim boots in namespaces with chroot)" \
        if os.geteuid() != 0 else missing and "not built: " + missing
    for item in items if reason else []:
        item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session")
def slotimg():
    return h.build_dir() / "slotimg"


@pytest.fixture
def switch(request, tmp_path):
    """A new switch (erased flash, slot 1 selected, no slot files); its erase
    size is the test's parameter when given indirectly."""
    sw = h.Switch(tmp_path / "switch", tmp_path / "work").new(getattr(request, "param", 65536))
    yield sw
    # pytest keeps the last runs' directories: keep slots, register, bus log; not flash
    for part in (sw.path / "flash").glob("*.bin"):
        part.unlink()


@pytest.fixture
def app_image(tmp_path, slotimg):
    """app_image(banner, **options of make_app_tree or make_image) -> new image's path."""
    made = []

    def make(banner="SAMPLE APP 1.0", distro_id=True, extra=None, **image_options):
        made.append(tmp_path / "work" / ("app%d" % len(made)))
        tree = h.make_app_tree(made[-1] / "tree", banner, distro_id, extra)
        return h.make_image(slotimg, h.make_archive(tree, made[-1] / "app.tar.gz"),
                            made[-1] / "app.img", **image_options)
    return make


@pytest.fixture
def boot(switch):
    """boot(**options) -> Console of a new boot of the switch; closed after the test."""
    consoles = []
    yield lambda **options: consoles.append(switch.boot(**options)) or consoles[-1]
    for console in consoles:
        console.close()
