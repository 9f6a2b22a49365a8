# The decoders of downloaded images for the Windows build, each from Debian's own source
# package, fetched by `scripts/setup windows` into build/deps and compiled here with the cross
# compiler into the one static executable: liblzma (xz, with its own CMake build and Windows
# threads), bzip2, zlib's minizip (its unzip side; zlib itself is Debian's mingw package), and
# expat (with its own CMake build) for block maps.
# Someone else's code, built as its makers build it: their warnings are not ours to fail on.
enable_language(C)
set(DRESMONT_DEPS ${PROJECT_SOURCE_DIR}/build/deps)
foreach(package xz-utils bzip2 zlib expat)
    file(GLOB found ${DRESMONT_DEPS}/${package}-[0-9]*)
    if(NOT found)
        message(FATAL_ERROR "${package}'s source is missing from build/deps: run scripts/setup windows")
    endif()
    list(GET found 0 DRESMONT_SOURCE_${package})
endforeach()

# The library alone: xz's own programs and tests are not built, nor run by our ctest (its CTest
# include reads BUILD_TESTING from the cache; our tests go by DRESMONT_TESTS).
set(BUILD_TESTING OFF CACHE BOOL "" FORCE)
block()
    set(BUILD_SHARED_LIBS OFF)
    add_subdirectory(${DRESMONT_SOURCE_xz-utils} ${PROJECT_BINARY_DIR}/deps/xz EXCLUDE_FROM_ALL)
endblock()
target_compile_options(liblzma PRIVATE -w)
target_include_directories(liblzma SYSTEM INTERFACE
                           $<BUILD_INTERFACE:${DRESMONT_SOURCE_xz-utils}/src/liblzma/api>)

block()
    set(EXPAT_SHARED_LIBS OFF)
    set(EXPAT_BUILD_TOOLS OFF)
    set(EXPAT_BUILD_EXAMPLES OFF)
    set(EXPAT_BUILD_TESTS OFF)
    set(EXPAT_BUILD_DOCS OFF)
    set(EXPAT_BUILD_PKGCONFIG OFF)
    set(EXPAT_ENABLE_INSTALL OFF)
    # A bmap has no DTD; and Debian's patched 2.5.0 tests XML_DTD as a number, which its own
    # CMake build defines empty.
    set(EXPAT_DTD OFF)
    add_subdirectory(${DRESMONT_SOURCE_expat}/expat ${PROJECT_BINARY_DIR}/deps/expat EXCLUDE_FROM_ALL)
endblock()
target_compile_options(expat PRIVATE -w)

set(DRESMONT_BZIP2 ${DRESMONT_SOURCE_bzip2})
add_library(dresmont_bzip2 STATIC
    ${DRESMONT_BZIP2}/blocksort.c ${DRESMONT_BZIP2}/huffman.c ${DRESMONT_BZIP2}/crctable.c
    ${DRESMONT_BZIP2}/randtable.c ${DRESMONT_BZIP2}/compress.c ${DRESMONT_BZIP2}/decompress.c
    ${DRESMONT_BZIP2}/bzlib.c)
target_include_directories(dresmont_bzip2 SYSTEM PUBLIC ${DRESMONT_BZIP2})
target_compile_options(dresmont_bzip2 PRIVATE -w)

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
set(DRESMONT_MINIZIP ${DRESMONT_SOURCE_zlib}/contrib/minizip)
add_library(dresmont_minizip STATIC ${DRESMONT_MINIZIP}/unzip.c ${DRESMONT_MINIZIP}/ioapi.c)
target_include_directories(dresmont_minizip SYSTEM PUBLIC ${DRESMONT_MINIZIP})
target_link_libraries(dresmont_minizip PUBLIC ZLIB::ZLIB)
target_compile_options(dresmont_minizip PRIVATE -w)
