# Inno Setup, the second example installer's compiler: the npm registry's innosetup
# package at this version, which scripts/setup unpacks beside the build trees.
set(INNO_SETUP_VERSION 6.4.1)
# The package tarball's integrity as the registry gives it (npm view innosetup@VERSION
# dist.integrity); scripts/setup unpacks nothing else.
set(INNO_SETUP_INTEGRITY sha512-Bh/dNlyyFsFKBGoTf19n1msPnm4Njfb0CWVirw2CV1MSJXYy0ajRI+xjo/Yr9DtZFLLafhnwm1ZsxTu309F8lQ==)
set(INNO_SETUP_DIR ${CMAKE_BINARY_DIR}/../innosetup-${INNO_SETUP_VERSION} CACHE PATH "Where Inno Setup is unpacked")
