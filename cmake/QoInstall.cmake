# Install rules: the shared library, public headers, a CMake package (find_package(qo_core))
# and a pkg-config file. ONNX Runtime is not a Debian package, so its library is installed beside
# libqo_core, which finds it through its $ORIGIN run path.
include(CMakePackageConfigHelpers)

install(TARGETS qo_core EXPORT qo_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT qo_coreTargets NAMESPACE qo_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qo_core)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qo_coreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qo_coreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qo_core)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qo_coreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qo_coreConfig.cmake ${PROJECT_BINARY_DIR}/qo_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qo_core)

file(RELATIVE_PATH QO_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qo_core.pc.in ${PROJECT_BINARY_DIR}/qo_core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qo_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(QO_WITH_ORT)
  file(REAL_PATH "${OnnxRuntime_LIBRARY}" _qo_ort_real)
  install(FILES "${_qo_ort_real}" DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME libonnxruntime.so.1)
endif()
