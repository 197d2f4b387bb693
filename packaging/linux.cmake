# Linux: cmake --install layout and the Debian packages (runtime library,
# -dev, tools).
if(NOT TARGET VELT_DFU)
  return()
endif()

set(velt_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VELT_DFU)
set(velt_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the library: runtime (the versioned file) and dev (the link name) ----
install(TARGETS VELT_DFU EXPORT VELT_DFUTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/dfu/include/VELT_DFU.h ${PROJECT_SOURCE_DIR}/dfu/include/VELT_DFU_WinTypes.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# find_package(VELT_DFU) -> VELT_DFU::VELT_DFU
include(CMakePackageConfigHelpers)
install(EXPORT VELT_DFUTargets NAMESPACE VELT_DFU:: DESTINATION ${velt_cmake_dir} COMPONENT dev)
configure_package_config_file(VELT_DFUConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/VELT_DFUConfig.cmake
  INSTALL_DESTINATION ${velt_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VELT_DFUConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VELT_DFUConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VELT_DFUConfigVersion.cmake
  DESTINATION ${velt_cmake_dir} COMPONENT dev)

# The .pc file finds its prefix from where it lies, so the same file serves
# /usr, a --prefix install and an unpacked package.
file(RELATIVE_PATH velt_pc_to_prefix /prefix/${velt_pc_dir} /prefix)
configure_file(VELT_DFU.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VELT_DFU.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VELT_DFU.pc DESTINATION ${velt_pc_dir} COMPONENT dev)

# ---- the tools and their man pages ----
file(RELATIVE_PATH velt_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set(velt_tools)
foreach(tool velt-dfu velt-dfu-sim)
  if(TARGET ${tool})
    list(APPEND velt_tools ${tool})
  endif()
endforeach()
if(TARGET velt-dfu)
  # Finds the library beside it in any prefix, without LD_LIBRARY_PATH.
  set_target_properties(velt-dfu PROPERTIES INSTALL_RPATH "\$ORIGIN/${velt_bin_to_lib}")
endif()
install(TARGETS ${velt_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

set(velt_man_velt-dfu "list DFU devices and drive their DFU state over USB or a serial COM port")
set(velt_man_velt-dfu-sim "simulated DFU 1.1 devices on a serial pty or a local USB socket")
find_program(VELT_HELP2MAN help2man)
if(VELT_HELP2MAN)
  set(pages)
  foreach(tool ${velt_tools})
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${VELT_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              "--name=${velt_man_${tool}}" --include=${CMAKE_CURRENT_SOURCE_DIR}/velt-dfu.h2m
              --output=${page} $<TARGET_FILE:${tool}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${tool} ${CMAKE_CURRENT_SOURCE_DIR}/velt-dfu.h2m
      COMMENT "Man page ${tool}.1"
      VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
else()
  message(STATUS "help2man not found: no man pages (make setup installs it)")
endif()

# ---- Debian packages ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velt-dfu)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of the runtime package: it is found here and
# the dependency comes from the component relation below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Programs built against 1.1.0 run with any later 1.x.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelt-dfu${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "DFU 1.1 host library for USB and serial devices
The VELT_DFU shared library: device discovery, the DFU 1.1 requests and
whole-image download and upload over USB or a serial COM port.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelt-dfu-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "DFU 1.1 host library for USB and serial devices (development files)
The VELT_DFU header, the link name, and the CMake (find_package(VELT_DFU))
and pkg-config (VELT_DFU) files.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velt-dfu-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "DFU 1.1 command-line host and device simulator
velt-dfu lists DFU devices and drives them over USB or a serial COM port;
velt-dfu-sim simulates such devices for trying it without hardware.")
