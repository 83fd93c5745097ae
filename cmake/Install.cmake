# Installation: headers under include/ObjectStore, the shared library, a
# pkg-config file and a CMake package (find_package(ObjectStore) gives
# ObjectStore::objectstore).
include(CMakePackageConfigHelpers)

install(TARGETS objectstore EXPORT ObjectStoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/ObjectStore/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ObjectStore
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ObjectStore
  FILES_MATCHING PATTERN "*.h")

install(EXPORT ObjectStoreTargets
  NAMESPACE ObjectStore::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ObjectStore)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ObjectStoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ObjectStoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ObjectStore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ObjectStoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ObjectStoreConfig.cmake
              ${PROJECT_BINARY_DIR}/ObjectStoreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ObjectStore)

configure_file(${PROJECT_SOURCE_DIR}/cmake/objectstore.pc.in
  ${PROJECT_BINARY_DIR}/objectstore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/objectstore.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS objstore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
