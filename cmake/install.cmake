# What `cmake --install` puts where, and the slotboot-tools Debian package
# that CPack makes of it (cpack --preset release, in build/release).
#
#   bin/slotimg, bin/switch-sim        the host tools
#   lib/slotboot/slotboot-sim          the loader that switch-sim boots
#   share/slotboot/switchsim/          switch-sim's Python package
#   share/doc/slotboot-tools/          README.md
#
# switch-sim finds its package and the loader under its own prefix, so the
# installed tree works wherever it is unpacked.
set(SLOTBOOT_LOADER_DIR lib/slotboot)
set(SLOTBOOT_PYTHON_DIR share/slotboot)

install(TARGETS slotimg RUNTIME DESTINATION bin)
install(TARGETS slotboot-sim RUNTIME DESTINATION ${SLOTBOOT_LOADER_DIR})
install(PROGRAMS tools/switch-sim/switch-sim DESTINATION bin)
install(DIRECTORY tools/switch-sim/switchsim DESTINATION ${SLOTBOOT_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
# The installed package's own module: the version and where the loader is.
configure_file(cmake/switchsim_installed.py.in ${PROJECT_BINARY_DIR}/generated/_installed.py @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/generated/_installed.py
        DESTINATION ${SLOTBOOT_PYTHON_DIR}/switchsim)
install(FILES README.md DESTINATION share/doc/slotboot-tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME slotboot-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "slotboot image tool and simulated switch")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "slotboot maintainers <maintainers@users.noreply.c-seed-59e61fab.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_PACKAGE_DESCRIPTION
    "slotimg creates, bundles, inspects, verifies and extracts the images that
the slotboot loader boots and installs. switch-sim makes simulated switches
in directories and boots the real loader on them, with a TFTP server, a
DHCP server and the serial console's XMODEM peer.")
# The C and C++ run-time libraries of slotimg and slotboot-sim, found by
# dpkg-shlibdeps; then what switch-sim runs: the switch's busybox, the XMODEM
# peer, the TFTP server, ip and ss, unshare and nsenter, mount.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, busybox-static, lrzsz, tftpd-hpa, iproute2, util-linux, mount")
# GNU time for boot --time-file, qemu-user for boot --arch ppc.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "time, qemu-user-static")
include(CPack)
