# Install rules of the package: the headers under include/lumokit/, the
# library under lib/, the CMake package (LumoKitConfig.cmake, its version
# file and the exported targets) under lib/cmake/LumoKit/ and lumokit.pc
# under lib/pkgconfig/. Every file locates the others relative to itself,
# so the prefix given at install time (cmake --install --prefix) holds.
include(CMakePackageConfigHelpers)

set(LUMO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LumoKit)

install(TARGETS lumokit EXPORT LumoKitTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/lumokit
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT LumoKitTargets
  NAMESPACE LumoKit::
  DESTINATION ${LUMO_CMAKE_DIR})

# A static library brings its dependencies' link lines along; a shared one
# needs only those its headers use.
if(BUILD_SHARED_LIBS)
  set(LUMO_LINKS_ITS_DEPENDENCIES FALSE)
else()
  set(LUMO_LINKS_ITS_DEPENDENCIES TRUE)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/LumoKitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/LumoKitConfig.cmake
  INSTALL_DESTINATION ${LUMO_CMAKE_DIR})
# While the version is 0.x, a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LumoKitConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LumoKitConfig.cmake ${PROJECT_BINARY_DIR}/LumoKitConfigVersion.cmake
  DESTINATION ${LUMO_CMAKE_DIR})

# pkg-config: plain `pkg-config --cflags --libs lumokit` works for either
# kind of library (a static one lists its dependencies as required).
set(LUMO_PC_PUBLIC "openssl")
set(LUMO_PC_OWN "zlib icu-uc icu-i18n libsodium")
set(LUMO_PC_LIBS "-L\${libdir} -llumokit -pthread")
set(dl "")
if(CMAKE_DL_LIBS)
  set(dl "-l${CMAKE_DL_LIBS}")
endif()
if(BUILD_SHARED_LIBS)
  set(LUMO_PC_REQUIRES "${LUMO_PC_PUBLIC}")
  set(LUMO_PC_REQUIRES_PRIVATE "${LUMO_PC_OWN}")
  set(LUMO_PC_LIBS_PRIVATE "${dl}")
else()
  set(LUMO_PC_REQUIRES "${LUMO_PC_PUBLIC} ${LUMO_PC_OWN}")
  set(LUMO_PC_REQUIRES_PRIVATE "")
  string(APPEND LUMO_PC_LIBS " ${dl}")
  set(LUMO_PC_LIBS_PRIVATE "")
endif()
# The .pc file's own folder is lib/pkgconfig: the prefix is two levels up.
file(RELATIVE_PATH LUMO_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LUMO_PC_TO_PREFIX "${LUMO_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/lumokit.pc.in ${PROJECT_BINARY_DIR}/lumokit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumokit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
