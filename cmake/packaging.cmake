# Install rules of the runner (its module and host layer beside it) and the
# Debian packages of every part, through CPack:
#   libmarrowick0       the C library              (capi/: Runtime)
#   libmarrowick-dev    its header, CMake package, pkg-config file (Development)
#   marrowick-tools     the runner with its module (Tools)
#   python3-marrowick   the Python package, linking libmarrowick0 (Python)
# `cpack --config BUILD/CPackConfig.cmake -B DIR` after a build (tools/package-deb).
# Everything but the C library installs only when its component is asked
# for, so `cmake --install build` stays the C library's install.
include(GNUInstallDirs)

set(MARROWICK_DEB_DIR ${CMAKE_SOURCE_DIR}/cmake/debian)
set(MARROWICK_DEB_BUILD ${CMAKE_BINARY_DIR}/debian)

# The runner, its module and the host layer they share, in a private
# directory (each finds the others through $ORIGIN); the command a symlink
# to it (the runner loads marrowick.so from beside its real path).
set(MARROWICK_TOOLS_DIR ${CMAKE_INSTALL_LIBDIR}/marrowick)
install(TARGETS marrowick marrowick_module marrowick_host
  RUNTIME DESTINATION ${MARROWICK_TOOLS_DIR} COMPONENT Tools EXCLUDE_FROM_ALL
  LIBRARY DESTINATION ${MARROWICK_TOOLS_DIR} COMPONENT Tools EXCLUDE_FROM_ALL)
file(RELATIVE_PATH MARROWICK_TOOLS_LINK /p/${CMAKE_INSTALL_BINDIR} /p/${MARROWICK_TOOLS_DIR}/marrowick)
file(MAKE_DIRECTORY ${MARROWICK_DEB_BUILD}/bin)
file(CREATE_LINK ${MARROWICK_TOOLS_LINK} ${MARROWICK_DEB_BUILD}/bin/marrowick SYMBOLIC)
install(FILES ${MARROWICK_DEB_BUILD}/bin/marrowick DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools EXCLUDE_FROM_ALL)

# Debian's documentation files: the copyright, the changelog and the
# manual page, compressed without timestamps.
configure_file(${MARROWICK_DEB_DIR}/changelog.in ${MARROWICK_DEB_BUILD}/changelog @ONLY)
foreach(page changelog marrowick.1)
  if(page STREQUAL "changelog")
    set(source ${MARROWICK_DEB_BUILD}/changelog)
  else()
    set(source ${MARROWICK_DEB_DIR}/${page})
  endif()
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${MARROWICK_DEB_BUILD}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${MARROWICK_DEB_DIR}/changelog.in ${MARROWICK_DEB_DIR}/marrowick.1)
install(FILES ${MARROWICK_DEB_BUILD}/marrowick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools
  EXCLUDE_FROM_ALL)

set(MARROWICK_DEB_RUNTIME libmarrowick${PROJECT_VERSION_MAJOR})
set(MARROWICK_DEB_PACKAGES Runtime ${MARROWICK_DEB_RUNTIME} Development libmarrowick-dev Tools marrowick-tools)
if(TARGET marrowick_python)
  list(APPEND MARROWICK_DEB_PACKAGES Python python3-marrowick)
endif()
set(CPACK_COMPONENTS_ALL "")
while(MARROWICK_DEB_PACKAGES)
  list(POP_FRONT MARROWICK_DEB_PACKAGES component package)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_SHLIBDEPS ON)
  if(component STREQUAL "Python" AND MARROWICK_WHEEL)
    continue()  # a wheel carries its license in its metadata
  endif()
  install(FILES ${MARROWICK_DEB_DIR}/copyright ${MARROWICK_DEB_BUILD}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${MARROWICK_DEB_DIR}/${package}.lintian-overrides)
    install(FILES ${MARROWICK_DEB_DIR}/${package}.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
      RENAME ${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endwhile()

set(CPACK_PACKAGE_NAME marrowick)
set(CPACK_PACKAGE_VENDOR "marrowick")
set(CPACK_PACKAGE_CONTACT "marrowick developers <marrowick@users.noreply.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "exact IIR filtering in single and double precision")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The Python extension's libmarrowick.so.0 is in the runtime package, not
# on this machine: dpkg-shlibdeps reads its SONAME from the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/capi)
set(MARROWICK_DEB_ABOUT
  "Filters are applied with the rational transfer function b/a (direct-form II\n"
  "transposed) or as second-order sections, real or complex, in single\n"
  "precision with a rounding defined to the last bit, or in double precision\n"
  "with SciPy's float64 arithmetic: every CPU path and every front gives the\n"
  "same bits.")
string(CONCAT MARROWICK_DEB_ABOUT ${MARROWICK_DEB_ABOUT})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "exact IIR filtering in single and double precision - shared library\n${MARROWICK_DEB_ABOUT}\n\
This package contains the shared library libmarrowick.")
file(WRITE ${MARROWICK_DEB_BUILD}/runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${MARROWICK_DEB_BUILD}/runtime/triggers)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${MARROWICK_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "exact IIR filtering in single and double precision - development files\n\
${MARROWICK_DEB_ABOUT}\nThis package contains the C header, the CMake package and the\npkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "exact IIR filtering in single and double precision - command-line runner\n${MARROWICK_DEB_ABOUT}\n\
This package contains the runner, which filters NumPy .npy files larger\nthan memory, and the extension module it loads.")

if(TARGET marrowick_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # The extension is built for this interpreter's ABI, and links the
  # library's private exports of this very release.
  math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), \
python3 (<< ${Python_VERSION_MAJOR}.${next_minor}), python3-numpy, ${MARROWICK_DEB_RUNTIME} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-dask, python3-distributed")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "exact IIR filtering in single and double precision - Python 3 package\n${MARROWICK_DEB_ABOUT}\n\
This package contains the Python 3 package marrowick (SciPy's names for\nNumPy arrays, and marrowick.dask for Dask arrays).")
  # Byte-compiled on install and cleaned on removal, as Debian's Python
  # packages are.
  foreach(script postinst prerm)
    configure_file(${MARROWICK_DEB_DIR}/python3.${script}.in ${MARROWICK_DEB_BUILD}/python/${script} @ONLY)
  endforeach()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${MARROWICK_DEB_BUILD}/python/postinst ${MARROWICK_DEB_BUILD}/python/prerm)
endif()

# CPack writes no Multi-Arch field and counts Installed-Size its own way:
# cmake/debian/finish.cmake sets both in each package it made.
set(CPACK_MARROWICK_MULTIARCH "${MARROWICK_DEB_RUNTIME}=same;libmarrowick-dev=same;marrowick-tools=foreign")
set(CPACK_POST_BUILD_SCRIPTS ${MARROWICK_DEB_DIR}/finish.cmake)
include(CPack)
