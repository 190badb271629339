# What `cmake --install` puts beside the programs so that zorp lives on a desktop like any other
# program, and the Debian package CPack builds from it:
#   bin/zorp, bin/zorp-cloud, bin/zorp-page          (each program's own CMakeLists)
#   share/zorp/ui, share/zorp/abfoldicon.ico          skins, images, backup folder icon
#   share/applications/zorp.desktop                   the desktop entry
#   share/icons/hicolor/scalable/apps/zorp.svg        its icon
#   <sysconfdir>/xdg/autostart/zorp.desktop           zorp starts with the user's session
#   lib/systemd/user/zorp-cloud.service               the server side as a user service
#   share/man/man1/{zorp,zorp-cloud,zorp-page}.1.gz   the manual pages
#   share/doc/zorp/{copyright,changelog.gz}           what a Debian package carries
#
#   cmake --build --preset default && cpack --config build/default/CPackConfig.cmake
# writes zorp_<version>_amd64.deb; its dependencies are read from the programs' own links
# (dpkg-shlibdeps), so they are the Debian runtime packages the programs really use.

set(ZORP_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZORP_MAN_DIR ${PROJECT_SOURCE_DIR}/docs/man)
set(ZORP_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

install(FILES ${ZORP_PACKAGING_DIR}/zorp.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ZORP_PACKAGING_DIR}/zorp.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${ZORP_PACKAGING_DIR}/zorp-cloud.service DESTINATION lib/systemd/user)

# The autostart entry belongs in /etc/xdg/autostart for a /usr tree and in <prefix>/etc/xdg
# otherwise (the GNU rule that GNUInstallDirs applies at configure time). The prefix is only
# known when installing: `cmake --install --prefix` and CPack's staging tree (<stage>/usr) both
# replace the configured one, so the rule is applied then.
install(CODE "
  set(zorp_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  if(CMAKE_INSTALL_PREFIX MATCHES \"/usr/?$\")
    get_filename_component(zorp_etc \"\${CMAKE_INSTALL_PREFIX}/../etc\" ABSOLUTE)
  endif()
  file(INSTALL DESTINATION \"\${zorp_etc}/xdg/autostart\" TYPE FILE
       RENAME zorp.desktop FILES \"${ZORP_PACKAGING_DIR}/zorp-autostart.desktop\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the zorp authors")
set(CPACK_PACKAGE_CONTACT "zorp developers <zorp-devel@zorp.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local companion of a web cloud disk")
# Lines of at most 79 characters, as Debian's control files want them.
set(CPACK_PACKAGE_DESCRIPTION
  "zorp runs beside the browser, one copy per user, and carries out what the\n"
  "cloud disk's web page asks over a local link: uploads of files and folder\n"
  "trees (hashed first, sent in resumable chunks), downloads that resume where\n"
  "they stopped, local editing of cloud files, automatic backup of chosen\n"
  "folders and clipboard pastes of cloud files. It shows a drop window, a\n"
  "transfer manager and a backup settings window, and keeps unfinished work in\n"
  "SQLite across restarts.\n"
  "\n"
  "The package also holds zorp-cloud, a small self-hostable server of the\n"
  "disk's HTTP actions (with a systemd user unit), and zorp-page, the page's\n"
  "side of the link on the command line.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs zorp runs rather than links: the FUSE mount helper of the clipboard placeholder,
# gio and gdbus for opening files and folders, xdg-open where gio cannot.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fuse3, libglib2.0-bin, xdg-utils")
# The windows in Chinese need a font with those glyphs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ZORP_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The manual pages and the Debian changelog, compressed as Debian wants them (gzip -9, no name
# or time stamp inside).
find_program(GZIP_PROGRAM gzip REQUIRED)
string(TIMESTAMP ZORP_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${ZORP_PACKAGING_DIR}/changelog.in ${ZORP_PACKAGING_OUT}/changelog @ONLY)
set(zorp_compressed)
function(zorp_gzip source output)
  get_filename_component(name ${output} NAME_WLE)
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${name}
    COMMAND ${GZIP_PROGRAM} -9nf ${dir}/${name}
    DEPENDS ${source} VERBATIM)
  set(zorp_compressed ${zorp_compressed} ${output} PARENT_SCOPE)
endfunction()
foreach(page zorp zorp-cloud zorp-page)
  configure_file(${ZORP_MAN_DIR}/${page}.1.in ${ZORP_PACKAGING_OUT}/${page}.1 @ONLY)
  zorp_gzip(${ZORP_PACKAGING_OUT}/${page}.1 ${ZORP_PACKAGING_OUT}/man1/${page}.1.gz)
  install(FILES ${ZORP_PACKAGING_OUT}/man1/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
zorp_gzip(${ZORP_PACKAGING_OUT}/changelog ${ZORP_PACKAGING_OUT}/doc/changelog.gz)
add_custom_target(zorp_packaging_files ALL DEPENDS ${zorp_compressed})
install(FILES ${ZORP_PACKAGING_DIR}/copyright ${ZORP_PACKAGING_OUT}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
