# What `cmake --install` puts under the prefix: the plug-in library with its
# header, a pkg-config file, a CMake package (publicQ31::publicQ31), and the
# operator and virtual-meter programs where they are built.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  # libpublicQ31.so -> .so.<major> -> .so.<version>: a host links against the
  # major version, which changes only when the exports break.
  set_target_properties(publicQ31 PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
target_include_directories(publicQ31 INTERFACE
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS publicQ31 EXPORT publicQ31Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/publicQ31.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(program q31 q31-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The CMake package; relocatable, so an install under any --prefix finds itself.
set(Q31_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/publicQ31)
install(EXPORT publicQ31Targets NAMESPACE publicQ31:: DESTINATION ${Q31_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/publicQ31Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/publicQ31Config.cmake
  INSTALL_DESTINATION ${Q31_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/publicQ31ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/publicQ31Config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/publicQ31ConfigVersion.cmake
  DESTINATION ${Q31_CMAKE_PACKAGE_DIR})

# The pkg-config file names the prefix the install goes to, which
# `cmake --install --prefix` may choose only then: configure_file writes it
# with a placeholder prefix now, and the install step fills in its own.
set(Q31_PC_PREFIX "@Q31_INSTALL_PREFIX@")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(Q31_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(Q31_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(Q31_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(Q31_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/publicQ31.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/publicQ31.pc.in @ONLY)
install(CODE "
  set(Q31_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/publicQ31.pc.in\"
    \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/publicQ31.pc\" @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/publicQ31.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
