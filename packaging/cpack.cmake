# The Debian package, built with `cpack -G DEB` in the build directory. Its
# dependencies are computed from the binaries by dpkg-shlibdeps (dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellumar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vellumar developers <vellumar@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "post files into FidoNet message bases as uuencoded sections")
set(CPACK_PACKAGE_DESCRIPTION
  "vellumar uuencodes a file, cuts the encoded lines into numbered sections\n"
  "and posts each section as one echomail or netmail message into a message\n"
  "base: a directory of *.msg files, a Squish base or a JAM base. The messages\n"
  "carry the usual control lines, lines from header and footer templates with\n"
  "macros expanded, a tagline, a tearline and an origin line.\n"
  "\n"
  "The package also holds msgdump, which lists the messages of a base (also\n"
  "as JSON), removes a message and shows or sets lastread values")
if(TARGET msgextract)
  list(APPEND CPACK_PACKAGE_DESCRIPTION
    ", and\nmsgextract, which rebuilds the files posted into a base")
endif()
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION} ".")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_MD5SUMS ON)
# Directories made by the install step get the modes Debian expects.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
