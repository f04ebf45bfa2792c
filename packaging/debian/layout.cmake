# The Debian package's layout, installed only by the package: a plain
# `cmake --install` and the tar.gz keep the program's own layout.
#   /usr/lib/pelmar/pelmar            the executable; /usr/bin/pelmar leads to it
#   /usr/lib/pelmar/{wwwroot,ftproot} links to /var/lib/pelmar/..., since the
#                                     server finds its trees beside itself
#   /usr/share/pelmar/                the samples, copied into /var/lib/pelmar
#                                     by the first install only (postinst)
#   /usr/lib/systemd/system/pelmar.service, shipped, not enabled

set(debian_dir ${CMAKE_CURRENT_LIST_DIR})
set(debian_made ${CMAKE_BINARY_DIR}/debian)

find_program(PELMAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PELMAR_GZIP gzip)
if(NOT PELMAR_DPKG_SHLIBDEPS OR NOT PELMAR_GZIP)
  message(STATUS "No .deb with the packages: dpkg-shlibdeps (dpkg-dev) or gzip is missing")
  return()
endif()
set(pelmar_deb_generator DEB)

file(MAKE_DIRECTORY ${debian_made}/links)
file(CREATE_LINK ../lib/pelmar/pelmar ${debian_made}/links/pelmar SYMBOLIC)
foreach(tree wwwroot ftproot)
  file(CREATE_LINK /var/lib/pelmar/${tree} ${debian_made}/links/${tree} SYMBOLIC)
endforeach()

# Debian's documents are compressed, at the highest level and with no time
# stamp, so that two builds of one source give the same bytes.
set(compressed)
foreach(document ${PROJECT_SOURCE_DIR}/doc/pelmar.1 ${debian_dir}/changelog)
  get_filename_component(name ${document} NAME)
  add_custom_command(OUTPUT ${debian_made}/${name}.gz
                     COMMAND ${PELMAR_GZIP} -9nc ${document} > ${debian_made}/${name}.gz
                     DEPENDS ${document})
  list(APPEND compressed ${debian_made}/${name}.gz)
endforeach()
add_custom_target(debian_documents ALL DEPENDS ${compressed})

set(deb COMPONENT debian EXCLUDE_FROM_ALL)
install(TARGETS pelmar RUNTIME DESTINATION usr/lib/pelmar ${deb})
install(FILES ${debian_made}/links/wwwroot ${debian_made}/links/ftproot
        DESTINATION usr/lib/pelmar ${deb})
install(FILES ${debian_made}/links/pelmar DESTINATION usr/bin ${deb})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sample/wwwroot ${PROJECT_SOURCE_DIR}/sample/ftproot
        DESTINATION usr/share/pelmar ${deb})
install(FILES ${debian_made}/pelmar.1.gz DESTINATION usr/share/man/man1 ${deb})
install(FILES ${debian_dir}/copyright ${debian_made}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION usr/share/doc/pelmar ${deb})
install(FILES ${debian_dir}/pelmar.service DESTINATION usr/lib/systemd/system ${deb})

# Read by cpack for each generator: the DEB one installs this component.
set(CPACK_PROJECT_CONFIG_FILE ${debian_dir}/per-generator.cmake)
set(CPACK_PELMAR_BUILD_DIR ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "Pelmar maintainers <maintainers@users.noreply.c-seed-7c36aa7b.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Below the summary line; cpack indents it and marks the empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Pelmar serves two directory trees over two protocols at once: HTTP/1.0 from
/var/lib/pelmar/wwwroot on port 80 and a minimal active-mode FTP from
/var/lib/pelmar/ftproot on port 21, to loopback clients unless told
otherwise. It writes nothing to disk and logs every text it sends.

The package ships a confined systemd service, not enabled.")
# The C++ runtime is linked in; what is left comes from the C library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${debian_dir}/postinst ${debian_dir}/prerm ${debian_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
