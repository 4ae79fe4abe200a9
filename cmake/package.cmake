# package.cmake - the Debian package, made with CPack from a build tree:
#   cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build --preset release
#   cd build/release && cpack -G DEB      # qnapi_<version>_<arch>.deb
# One package, qnapi: the library (shared and static), its headers, the CMake
# package and qnapi.pc, qna, quonix, the man pages and the docs, under the
# prefix the tree was configured with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qnapi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library of the QUONIX control runtime, with qna and the quonix stand-in server")
set(CPACK_PACKAGE_DESCRIPTION "QNAPI lets application programs read and write the data areas of a QUONIX
server and exchange requests with it over a local pipe, a remote pipe or TCP.
The package holds libqnapi (shared and static), its C headers, a CMake
package and a pkg-config file, the qna command and the quonix stand-in server.")
set(QNAPI_PACKAGE_CONTACT "QNAPI maintainers" CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${QNAPI_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# The dependencies come from the binaries (dpkg-shlibdeps), not from a list
# kept by hand; the package's shlibs file lets other packages depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg rebuilds the linker's cache after the package comes or goes, so that
# programs find libqnapi.so.0 at once.  CPack adds that only for /usr/lib and
# /lib, not for /usr/local/lib.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/package)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
