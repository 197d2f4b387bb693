# Windows: the SDK zip of the win64 tree (the DLL, velt-dfu.exe, the header
# and both import libraries) and the utility's zip of the win32 tree.
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

if(TARGET VELT_DFU)
  set(CPACK_PACKAGE_NAME VELT_DFU)
  set(CPACK_PACKAGE_FILE_NAME VELT_DFU-${PROJECT_VERSION}-win64)
  install(PROGRAMS $<TARGET_FILE:VELT_DFU> DESTINATION bin)
  if(TARGET velt-dfu)
    install(TARGETS velt-dfu RUNTIME DESTINATION bin)
  endif()
  # The Windows SDK headers give the header its types: it stands alone here.
  install(FILES ${PROJECT_SOURCE_DIR}/dfu/include/VELT_DFU.h DESTINATION include)
  install(FILES $<TARGET_LINKER_FILE:VELT_DFU> DESTINATION lib RENAME libVELT_DFU.dll.a)
  install(FILES ${CMAKE_BINARY_DIR}/lib/VELT_DFU.def ${CMAKE_BINARY_DIR}/lib/VELT_DFU.lib DESTINATION lib)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README-sdk.txt DESTINATION . RENAME README.txt)
elseif(TARGET OrvixFlashUtility)
  set(CPACK_PACKAGE_NAME OrvixFlashUtility)
  set(CPACK_PACKAGE_FILE_NAME OrvixFlashUtility-${PROJECT_VERSION}-win32)
  install(TARGETS OrvixFlashUtility RUNTIME DESTINATION .)
  # Our stand-in for the adapter maker's library goes in a folder of its own:
  # beside the utility it would take the real library's place.
  install(PROGRAMS $<TARGET_FILE:VELT_ADI_Util> DESTINATION simulator)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README-utility.txt DESTINATION . RENAME README.txt)
endif()
