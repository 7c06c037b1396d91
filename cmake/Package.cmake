# Two ways to install, from the same build:
#
# - One program folder (the program keeps its settings and working files
#   beside its executable): `cmake --install build --prefix DIR`, and the
#   tarball `cpack -G TGZ`. Without a prefix it goes to a folder the user owns.
# - The Debian layout, the install component "deb" (left out of a plain
#   install): /usr/bin, the menu entry and icons under /usr/share, the shipped
#   files in /usr/share/tarvo-lite; the package `cpack -G DEB`.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local/opt/tarvo-lite" CACHE PATH "The program folder to install into" FORCE)
endif()

# --- the Debian layout, relative to /usr --------------------------------------------
set(_deb COMPONENT deb EXCLUDE_FROM_ALL)
set(_dist ${PROJECT_SOURCE_DIR}/dist)
set(_debian ${CMAKE_BINARY_DIR}/debian)
# The shipped files' folder as the program looks for it beside bin/.
set(TARVO_SHARE_SUBDIR share/tarvo-lite)

install(TARGETS tarvo-lite RUNTIME DESTINATION bin ${_deb})
install(FILES ${_dist}/stopcap.jpg ${_dist}/stoptime.bmp ${TARVO_BIN_DIR}/TarvoLt.chm
  DESTINATION ${TARVO_SHARE_SUBDIR} ${_deb})
install(DIRECTORY ${_dist}/Server DESTINATION ${TARVO_SHARE_SUBDIR} ${_deb})
install(FILES ${_dist}/tarvo-lite.desktop DESTINATION share/applications ${_deb})
install(FILES ${_dist}/icons/tarvo-lite.svg DESTINATION share/icons/hicolor/scalable/apps ${_deb})
foreach(size 48 256)
  install(FILES ${_dist}/icons/tarvo-lite-${size}.png DESTINATION share/icons/hicolor/${size}x${size}/apps
    RENAME tarvo-lite.png ${_deb})
endforeach()

# The changelog and the manual page, compressed as Debian keeps them
# (gzip -9, no name or time stamp inside).
set(TARVO_DEB_REVISION 1)
set(TARVO_DEB_VERSION ${PROJECT_VERSION}-${TARVO_DEB_REVISION})
configure_file(${_dist}/debian/changelog.in ${_debian}/changelog.Debian @ONLY)
configure_file(${_dist}/debian/tarvo-lite.1 ${_debian}/tarvo-lite.1 COPYONLY)
foreach(f changelog.Debian tarvo-lite.1)
  add_custom_command(OUTPUT ${_debian}/${f}.gz
    COMMAND gzip -9nkf ${_debian}/${f}
    DEPENDS ${_debian}/${f}
    COMMENT "Compressing ${f}")
endforeach()
add_custom_target(tarvo_debian_docs ALL DEPENDS ${_debian}/changelog.Debian.gz ${_debian}/tarvo-lite.1.gz)
add_dependencies(tarvo_program tarvo_debian_docs)
install(FILES ${_dist}/debian/copyright ${_debian}/changelog.Debian.gz DESTINATION share/doc/tarvo-lite ${_deb})
install(FILES ${_debian}/tarvo-lite.1.gz DESTINATION share/man/man1 ${_deb})

# --- packages -----------------------------------------------------------------------
set(CPACK_PACKAGE_NAME tarvo-lite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Webcam surveillance over the Internet")
set(CPACK_PACKAGE_CONTACT "Tarvo Lite maintainers <tarvo-lite@kelna.example>")
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)
# Each generator's own settings: cmake/PackageGenerators.cmake.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackageGenerators.cmake)

# TGZ: the program folder as "tarvo-lite/".
set(CPACK_TARVO_TGZ_FILE_NAME tarvo-lite-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

# DEB: tarvo-lite_VERSION-REVISION_ARCH.deb, its dependencies worked out
# from the binary by dpkg-shlibdeps.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME tarvo-lite)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVO_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libavdevice is loaded at run time (sound in recordings), so invisible to
# dpkg-shlibdeps: its package is named after the major version built against.
pkg_check_modules(TARVO_AVDEVICE REQUIRED libavdevice)
string(REGEX MATCH "^[0-9]+" _avdevice_major ${TARVO_AVDEVICE_VERSION})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libavdevice${_avdevice_major}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.kelna.example")
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the long text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarvo Lite shows a webcam's live picture and, while its website update
runs, uploads a picture of it by FTP, FTPS or SFTP to your web space every
few minutes, where a web page shows it. It also saves snapshots, records
AVI video, watches for motion and keeps an error log.")
include(CPack)
