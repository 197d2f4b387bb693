# Linux: cmake --install layout and the Debian packages (runtime library,
# -dev, tools).
if(NOT TARGET VELT_DFU)
  return()
endif()

# Debian's multiarch directory (lib/x86_64-linux-gnu) for the library and
# its CMake and pkg-config files, in the packages and in any other prefix,
# unless a libdir of its own was asked for.
set(velt_libdir ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_LIBRARY_ARCHITECTURE AND velt_libdir STREQUAL "lib")
  set(velt_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(velt_cmake_dir ${velt_libdir}/cmake/VELT_DFU)
set(velt_pc_dir ${velt_libdir}/pkgconfig)

# The packages, by component. Each ships its copyright, changelog and
# lintian overrides (packaging/debian).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelt-dfu${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelt-dfu-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velt-dfu-tools)
set(CPACK_DEBIAN_COMMON_PACKAGE_NAME libvelt-dfu-common)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-velt-dfu)
set(velt_components runtime dev tools common python)
set(velt_debian ${CMAKE_CURRENT_SOURCE_DIR}/debian)

# strip as dh_strip does: the compiler's .comment and the .note section
# serve nothing at run time. FILES: paths under the prefix.
function(velt_install_strip_notes component)
  foreach(file ${ARGN})
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
  endforeach()
endfunction()

# ---- the library: runtime (the versioned file) and dev (the link name) ----
install(TARGETS VELT_DFU EXPORT VELT_DFUTargets
  LIBRARY DESTINATION ${velt_libdir} COMPONENT runtime NAMELINK_COMPONENT dev)
velt_install_strip_notes(runtime ${velt_libdir}/$<TARGET_FILE_NAME:VELT_DFU>)
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

# The .pc file names the prefix it is installed into, so it is written when
# it is installed (CPack installs with DESTDIR and the prefix /usr):
# pkg-config passes its paths on as written, and a path relative to the
# file's own place would reach the compiler as .../pkgconfig/../../include.
# The file is made under a name of its own for each destination, as two
# installs may run at once.
install(CODE "
  set(velt_libdir \"${velt_libdir}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  string(MD5 velt_pc_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(velt_pc \"${CMAKE_CURRENT_BINARY_DIR}/pc-\${velt_pc_key}/VELT_DFU.pc\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/VELT_DFU.pc.in\" \"\${velt_pc}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${velt_pc_dir}\" TYPE FILE FILES \"\${velt_pc}\")
" COMPONENT dev)

# ---- the tools and their man pages ----
file(RELATIVE_PATH velt_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${velt_libdir})
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
foreach(tool ${velt_tools})
  velt_install_strip_notes(tools ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${tool}>)
endforeach()

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

# ---- the udev rules: a user at the seat may open DFU boards ----
install(FILES udev/60-velt-dfu.rules DESTINATION lib/udev/rules.d COMPONENT common)

# ---- the Python binding: whatever modules the package has when installed ----
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/velt_dfu DESTINATION lib/python3/dist-packages COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# ---- Debian: copyright and changelog in every package ----
# The changelog's top entry gives the package version: this version plus
# the Debian revision. A new version needs its entry first.
file(STRINGS ${velt_debian}/changelog velt_changelog_top LIMIT_COUNT 1)
if(NOT velt_changelog_top MATCHES "^velt-dfu \\(${PROJECT_VERSION}-([0-9]+)\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the top entry is not for ${PROJECT_VERSION} "
                      "(velt-dfu (${PROJECT_VERSION}-1) ...): add one")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
set(velt_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${velt_changelog_gz}
  COMMAND gzip -9nc ${velt_debian}/changelog > ${velt_changelog_gz}
  DEPENDS ${velt_debian}/changelog
  COMMENT "changelog.Debian.gz")
add_custom_target(debian_changelog ALL DEPENDS ${velt_changelog_gz})
foreach(component ${velt_components})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${velt_debian}/copyright ${velt_changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  install(FILES ${velt_debian}/lintian-overrides RENAME ${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  # Maintainer scripts, triggers, symbols: debian/PACKAGE.NAME.
  set(extra)
  foreach(control postinst prerm postrm triggers symbols)
    if(EXISTS ${velt_debian}/${package}.${control})
      configure_file(${velt_debian}/${package}.${control} ${CMAKE_CURRENT_BINARY_DIR}/control/${package}/${control} COPYONLY)
      list(APPEND extra ${CMAKE_CURRENT_BINARY_DIR}/control/${package}/${control})
    endif()
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${extra})
endforeach()

# ---- Debian packages ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velt-dfu)
set(CPACK_DEBIAN_PACKAGE_SOURCE velt-dfu)
# Installed with DESTDIR into the prefix /usr, so that what is written at
# install time (the .pc file) sees the prefix of the installed system.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${velt_components})
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
# Maintainer scripts with the modes dpkg expects (0755), the rest 0644.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${velt_debian}/drop-ldconfig-scripts.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DEPENDS common)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "DFU 1.1 host library for USB and serial devices
The VELT_DFU shared library: device discovery, the DFU 1.1 requests and
whole-image download and upload over USB or a serial COM port.")

set(CPACK_DEBIAN_COMMON_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_COMMON_DESCRIPTION "DFU 1.1 host library for USB and serial devices (udev rules)
udev rules that let the user at the machine's seat open USB devices with a
DFU interface through the VELT_DFU library, without root.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "DFU 1.1 host library for USB and serial devices (development files)
The VELT_DFU header, the link name, and the CMake (find_package(VELT_DFU))
and pkg-config (VELT_DFU) files.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "DFU 1.1 command-line host and device simulator
velt-dfu lists DFU devices and drives them over USB or a serial COM port;
velt-dfu-sim simulates such devices for trying it without hardware.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any (>= 3.8~)")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "DFU 1.1 host library for USB and serial devices (Python 3)
The velt_dfu module: the VELT_DFU library's devices, DFU requests and image
transfers from Python, through ctypes.")
