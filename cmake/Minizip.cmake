# zlib and minizip's reader (and its writer, for the package builder).
#
# Cross builds take zlib from the mingw-w64 packages and minizip from zlib's
# contrib folder, fetched at configure time from the npm registry package that
# carries it, its digest checked; none of it is committed. MSVC builds link
# vcpkg's zlib and minizip through the same targets.

if(MSVC)
  set(_kestrel_system_minizip ON)
else()
  set(_kestrel_system_minizip OFF)
endif()
option(KESTREL_SYSTEM_MINIZIP "Link an installed minizip (vcpkg) instead of fetching its sources" ${_kestrel_system_minizip})

if(MINGW)
  set(ZLIB_USE_STATIC_LIBS ON)  # a zlib1.dll would not be found under Wine
endif()
find_package(ZLIB REQUIRED)

if(KESTREL_SYSTEM_MINIZIP)
  find_package(unofficial-minizip CONFIG REQUIRED)
  add_library(kestrel_minizip INTERFACE)
  target_link_libraries(kestrel_minizip INTERFACE unofficial::minizip::minizip ZLIB::ZLIB)
  add_library(kestrel_minizip_writer INTERFACE)
  target_link_libraries(kestrel_minizip_writer INTERFACE kestrel_minizip)
  return()
endif()

set(KESTREL_MINIZIP_PACKAGE "zipfile@0.5.12")
set(KESTREL_MINIZIP_SHA256 "cc9e9f54220617ebd684db7c6929dc764c9f912ad71b7c7557a9779be5c3055e")
set(_deps ${CMAKE_BINARY_DIR}/_deps)
set(_tgz ${_deps}/zipfile-0.5.12.tgz)
set(_src ${_deps}/include/minizip)

if(NOT EXISTS ${_src}/unzip.c)
  file(MAKE_DIRECTORY ${_deps})
  if(NOT EXISTS ${_tgz})
    find_program(KESTREL_NPM npm)
    if(NOT KESTREL_NPM)
      message(FATAL_ERROR "npm is needed once to fetch minizip's sources (${KESTREL_MINIZIP_PACKAGE})")
    endif()
    message(STATUS "Fetching minizip sources: ${KESTREL_MINIZIP_PACKAGE}")
    execute_process(COMMAND ${KESTREL_NPM} pack ${KESTREL_MINIZIP_PACKAGE} --silent
                    WORKING_DIRECTORY ${_deps} RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT _rc EQUAL 0 OR NOT EXISTS ${_tgz})
      message(FATAL_ERROR "npm pack ${KESTREL_MINIZIP_PACKAGE} failed")
    endif()
  endif()
  file(SHA256 ${_tgz} _sum)
  if(NOT _sum STREQUAL KESTREL_MINIZIP_SHA256)
    file(REMOVE ${_tgz})
    message(FATAL_ERROR "${KESTREL_MINIZIP_PACKAGE}: digest ${_sum} is not the expected ${KESTREL_MINIZIP_SHA256}")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${_tgz} DESTINATION ${_deps}/zipfile
       PATTERNS package/deps/zlib/contrib/minizip)
  file(MAKE_DIRECTORY ${_src})
  foreach(_f unzip.c unzip.h ioapi.c ioapi.h crypt.h zip.c zip.h)
    file(COPY ${_deps}/zipfile/package/deps/zlib/contrib/minizip/${_f} DESTINATION ${_src})
  endforeach()
  file(REMOVE_RECURSE ${_deps}/zipfile)
endif()

# Third-party code keeps its own warning flags. No passwords: no decryption.
add_library(kestrel_minizip STATIC ${_src}/unzip.c ${_src}/ioapi.c)
target_include_directories(kestrel_minizip SYSTEM PUBLIC ${_deps}/include)
target_compile_definitions(kestrel_minizip PRIVATE NOUNCRYPT NOCRYPT)
target_compile_options(kestrel_minizip PRIVATE -w)
target_link_libraries(kestrel_minizip PUBLIC ZLIB::ZLIB)

add_library(kestrel_minizip_writer STATIC ${_src}/zip.c)
target_compile_definitions(kestrel_minizip_writer PRIVATE NOCRYPT)
target_compile_options(kestrel_minizip_writer PRIVATE -w)
target_link_libraries(kestrel_minizip_writer PUBLIC kestrel_minizip)
