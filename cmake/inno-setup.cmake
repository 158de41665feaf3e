# Inno Setup, the second example installer's compiler: the npm registry's innosetup
# package at this version, which scripts/setup unpacks beside the build trees.
set(INNO_SETUP_VERSION 6.4.1)
set(INNO_SETUP_DIR ${CMAKE_BINARY_DIR}/../innosetup-${INNO_SETUP_VERSION} CACHE PATH "Where Inno Setup is unpacked")
