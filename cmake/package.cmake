# Installation and the Debian package:
#   cmake --install build --prefix /usr/local     bin/tarnvik and share/man/man6/tarnvik.6
#   cd build && cpack -G DEB                       tarnvik_4.0_amd64.deb (installs under /usr)

include(GNUInstallDirs)
install(TARGETS tarnvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/tarnvik.6 DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)

set(CPACK_PACKAGE_NAME tarnvik)
set(CPACK_PACKAGE_VERSION 4.0)
set(CPACK_PACKAGE_CONTACT "Velkaro")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UCI chess engine with a neural-network evaluation")
set(CPACK_PACKAGE_DESCRIPTION "Tarnvik is a chess engine for chess GUIs and match managers (UCI\n\
protocol), with a quantised neural-network evaluation and the three- and\n\
four-man Syzygy tablebases built in. It needs an x86-64 processor with AVX2.")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies from the binary itself when dpkg-shlibdeps is there, else the three it links.
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
include(CPack)
