# The switch's release tarball, in a cross build (ppc preset):
#   build/ppc/slotboot-VERSION-powerpc.tar.gz
#     slotboot-VERSION-powerpc/slotboot          static, stripped
#     slotboot-VERSION-powerpc/slotboot.sha256   "HASH  slotboot", for sha256sum -c
# Made by `cmake --build --preset switch` (or the switch workflow preset).
set(SWITCH_RELEASE slotboot-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(SWITCH_RELEASE_DIR ${PROJECT_BINARY_DIR}/${SWITCH_RELEASE})
set(SWITCH_TARBALL ${PROJECT_BINARY_DIR}/${SWITCH_RELEASE}.tar.gz)
add_custom_command(
  OUTPUT ${SWITCH_TARBALL}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${SWITCH_RELEASE_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SWITCH_RELEASE_DIR}
  COMMAND ${CMAKE_STRIP} -o ${SWITCH_RELEASE_DIR}/slotboot $<TARGET_FILE:slotboot>
  COMMAND ${CMAKE_COMMAND} -E chdir ${SWITCH_RELEASE_DIR}
          sh -c "${CMAKE_COMMAND} -E sha256sum slotboot > slotboot.sha256"
  COMMAND ${CMAKE_COMMAND} -E tar czf ${SWITCH_TARBALL} ${SWITCH_RELEASE}/slotboot ${SWITCH_RELEASE}/slotboot.sha256
  COMMAND ${CMAKE_COMMAND} -E cat ${SWITCH_RELEASE_DIR}/slotboot.sha256
  DEPENDS slotboot
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Making ${SWITCH_RELEASE}.tar.gz"
  VERBATIM)
add_custom_target(switch-tarball DEPENDS ${SWITCH_TARBALL})
