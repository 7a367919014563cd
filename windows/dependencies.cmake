# The libraries of the Windows build: static archives in the prefix that windows/build-deps
# makes (NUVRA_WINDOWS_DEPS), as imported targets with the names the native build gets from
# find_package. Each carries the definition its headers need for static linking and the system
# libraries it imports from; nothing else is linked dynamically.
if(NOT NUVRA_WINDOWS_DEPS OR NOT EXISTS ${NUVRA_WINDOWS_DEPS}/.complete)
  message(FATAL_ERROR "NUVRA_WINDOWS_DEPS must name the prefix that windows/build-deps prints "
                      "(make test-windows builds it and passes it on); got '${NUVRA_WINDOWS_DEPS}'")
endif()

function(nuvra_static_import target library)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DEFINITIONS;LINK")
  set(file ${NUVRA_WINDOWS_DEPS}/lib/lib${library}.a)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} is missing: rebuild the prefix with windows/build-deps")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${file}
    INTERFACE_INCLUDE_DIRECTORIES ${NUVRA_WINDOWS_DEPS}/include
    INTERFACE_COMPILE_DEFINITIONS "${arg_DEFINITIONS}"
    INTERFACE_LINK_LIBRARIES "${arg_LINK}")
endfunction()

nuvra_static_import(nuvra_zlib z)
nuvra_static_import(nuvra_bzip2 bz2)
nuvra_static_import(nuvra_lzma lzma DEFINITIONS LZMA_API_STATIC)
nuvra_static_import(nuvra_zstd zstd)
nuvra_static_import(LibArchive::LibArchive archive DEFINITIONS LIBARCHIVE_STATIC
                    LINK nuvra_lzma nuvra_zstd nuvra_bzip2 nuvra_zlib bcrypt advapi32)
nuvra_static_import(CURL::libcurl curl DEFINITIONS CURL_STATICLIB
                    LINK nuvra_zlib ws2_32 crypt32 secur32 bcrypt iphlpapi advapi32)
nuvra_static_import(nuvra_sodium sodium DEFINITIONS SODIUM_STATIC LINK advapi32)
nuvra_static_import(nuvra_fltk fltk
                    LINK gdiplus comctl32 comdlg32 gdi32 ole32 uuid shell32 user32 ws2_32 winspool)
