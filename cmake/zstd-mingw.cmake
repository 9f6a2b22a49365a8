# zstd for the Windows build: Debian has no mingw package of it, so its own source package,
# fetched by `scripts/setup windows` into build/deps, is compiled here with the cross compiler.
# The compressor for imaging, the decompressor for restoring; the compressor's threads come from
# zstd's own Windows threading layer, and the decompressor's assembly (ELF only) is left out.
enable_language(C)
file(GLOB DRESMONT_ZSTD_LIB ${PROJECT_SOURCE_DIR}/build/deps/libzstd-*/lib)
if(NOT DRESMONT_ZSTD_LIB)
    message(FATAL_ERROR "zstd's source is missing from build/deps: run scripts/setup windows")
endif()
list(GET DRESMONT_ZSTD_LIB 0 DRESMONT_ZSTD_LIB)
file(GLOB DRESMONT_ZSTD_SOURCES ${DRESMONT_ZSTD_LIB}/common/*.c ${DRESMONT_ZSTD_LIB}/compress/*.c
     ${DRESMONT_ZSTD_LIB}/decompress/*.c)
add_library(dresmont_zstd STATIC ${DRESMONT_ZSTD_SOURCES})
target_include_directories(dresmont_zstd SYSTEM PUBLIC ${DRESMONT_ZSTD_LIB})
target_compile_definitions(dresmont_zstd PRIVATE ZSTD_MULTITHREAD ZSTD_DISABLE_ASM)
# Someone else's code, built as its makers build it: their warnings are not ours to fail on.
target_compile_options(dresmont_zstd PRIVATE -w)
