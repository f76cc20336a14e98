# The Debian package: `cpack -G DEB` in a build folder makes brisko_VERSION_ARCH.deb with everything the
# install rules name, below /usr. The libraries it needs are found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisko)
set(CPACK_PACKAGE_VENDOR "The Brisko developers")
set(CPACK_PACKAGE_CONTACT "Brisko Developer <dev@brisko.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extracts every ZIP, RAR and ACE archive of a folder in one action")
set(CPACK_PACKAGE_DESCRIPTION "Brisko finds the archives of a folder (optionally in its subfolders), extracts
each into a destination of your choice, lists the ones that failed, can move
extracted archives with all their volumes to the trash, and can extract the
archives that came out of archives. Volume sets, passwords and damaged or
hostile archives are handled safely.

brisko is its own options window; brisko-extract runs the same extraction
without a display, for scripts and download managers.")

# What Debian asks of every package's documentation folder.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/brisko)

include(CPack)
