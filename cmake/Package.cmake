# Installing lays out one program folder (the program keeps its settings and
# working files beside its executable): `cmake --install build --prefix DIR`.
# Without a prefix it goes to a folder the user owns.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local/opt/tarvo-lite" CACHE PATH "The program folder to install into" FORCE)
endif()

# `cpack -G TGZ` (scripts/package): a tarball holding that folder as "tarvo-lite/".
set(CPACK_PACKAGE_NAME tarvo-lite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Webcam surveillance over the Internet")
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_FILE_NAME tarvo-lite-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /tarvo-lite)
set(CPACK_STRIP_FILES ON)
include(CPack)
