# cmake -DCMAKE_PREFIX_PATH=... -DWANT=X.Y -P find_version.cmake: prints
# "found" when the installed package offers version WANT.
find_package(marrowick ${WANT} CONFIG QUIET)
if(marrowick_FOUND)
  message("found")
else()
  message("not-found")
endif()
