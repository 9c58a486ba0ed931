# Compiles go through ccache when it is installed (Debian's ccache) and no
# launcher was given. Paths are hashed relative to the source tree, so two
# build folders beside each other (build, build-pip, build-deb) share their
# objects when their flags agree.
option(MARROWICK_CCACHE "Compile through ccache when it is installed" ON)
if(MARROWICK_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER AND NOT CMAKE_C_COMPILER_LAUNCHER)
  find_program(MARROWICK_CCACHE_PROGRAM ccache)
  if(MARROWICK_CCACHE_PROGRAM)
    set(CMAKE_C_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${MARROWICK_CCACHE_PROGRAM})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_C_COMPILER_LAUNCHER})
  endif()
endif()
