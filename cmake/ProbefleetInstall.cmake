# What `cmake --install` lays out and what `cpack -G DEB` packages:
#   component "runtime"     the programs and their man pages (package probefleet)
#   component "development" the library s3 with the static libraries it needs,
#                           their headers and the CMake package (probefleet-dev)
# A consumer's find_package(probefleet) gives probefleet::s3 (and ::aws, ::testlib).

include(CMakePackageConfigHelpers)

set(PROBEFLEET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/probefleet)

install(TARGETS probefleet probefleet-s3 probefleet-results probefleet-image probefleet-sweep
  probefleet-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# Man pages are installed compressed, as Debian's policy asks; -n keeps the
# name and time out of the archive so that builds are reproducible.
find_program(PROBEFLEET_GZIP gzip REQUIRED)
set(PROBEFLEET_MAN_PAGES)
foreach(page probefleet probefleet-s3 probefleet-results probefleet-image probefleet-sweep
    probefleet-report)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/
    COMMAND ${PROBEFLEET_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}.1
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1 VERBATIM)
  list(APPEND PROBEFLEET_MAN_PAGES ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${PROBEFLEET_MAN_PAGES})
install(FILES ${PROBEFLEET_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# The archives keep their short build names (libaws_http.a, libs3.a), so they get
# a folder of their own rather than risk a clash in a shared library folder.
install(TARGETS ${PROBEFLEET_AWS_LAYERS} aws testlib s3 EXPORT probefleetTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/probefleet COMPONENT development)
# The public s3 headers include aws/ and testlib/ headers, which include
# further ones of their own: all three folders' headers go, layout kept.
foreach(dir aws testlib s3)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${dir}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/probefleet/${dir} COMPONENT development
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT probefleetTargets NAMESPACE probefleet::
  DESTINATION ${PROBEFLEET_CMAKE_DIR} COMPONENT development)

# The config file must bring back every imported target the exported ones
# name, ISA-L included when this build linked it.
if(ISAL_FOUND)
  set(PROBEFLEET_WITH_ISAL ON)
else()
  set(PROBEFLEET_WITH_ISAL OFF)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/probefleetConfig.cmake.in
  ${PROJECT_BINARY_DIR}/probefleetConfig.cmake INSTALL_DESTINATION ${PROBEFLEET_CMAKE_DIR})
# 0.x releases make no compatibility promise between minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/probefleetConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/probefleetConfig.cmake
  ${PROJECT_BINARY_DIR}/probefleetConfigVersion.cmake
  DESTINATION ${PROBEFLEET_CMAKE_DIR} COMPONENT development)

# Debian packages: dpkg-shlibdeps (from dpkg-dev; CPack spots ELF files with
# `file`) derives the runtime Depends from the programs themselves; the -dev
# package names the -dev packages a consumer's find_dependency calls need.
set(PROBEFLEET_PACKAGE_MAINTAINER "probefleet maintainers <probefleet@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_NAME probefleet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PROBEFLEET_PACKAGE_MAINTAINER})
set(CPACK_GENERATOR DEB)
# Each component's description begins with its own synopsis line; a package
# summary would replace both.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PROBEFLEET_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME probefleet)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "place and remove EC2 test instances in a VPC's test subnets
probefleet places one small test instance in each test subnet of an Amazon
VPC, gives each a second network interface in a private subnet, records the
instances' addresses in an output test configuration and, in revert mode,
removes everything it made. probefleet-s3 gives shell steps the same bucket
transfers and the private-key fingerprint check, probefleet-results the
verdict of the tests the instances leave in the bucket, and probefleet-image
the id of the image probefleet selects.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME probefleet-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(_probefleet_dev_depends "libcurl4-openssl-dev | libcurl-dev, libssl-dev (>= 3), libpugixml-dev,
  libspdlog-dev, nlohmann-json3-dev (>= 3), zlib1g-dev, pkgconf | pkg-config")
if(PROBEFLEET_WITH_ISAL)
  string(APPEND _probefleet_dev_depends ", libisal-dev")
endif()
string(REGEX REPLACE "\n *" " " _probefleet_dev_depends "${_probefleet_dev_depends}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${_probefleet_dev_depends}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "probefleet's library s3 for C++ programs (static)
The library s3 (bucket transfers, S3BackupCmd, private-key fingerprints) with
the static libraries it builds on, their headers and a CMake package:
find_package(probefleet) gives the imported target probefleet::s3.")

include(CPack)
