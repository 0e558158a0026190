# TESSARINE_STATIC_DEPS: link libcrypto and zlib from their static archives
# (Debian's -dev packages ship both kinds), so that the extension needs no
# shared library but Abseil's, ICU's and ISA-L's (see below) and the C and C++
# runtimes. Every library found is checked to be an archive: a silent
# fall-back to a shared one would only show up later, in auditwheel.
#
# A build directory configured without the option keeps the shared libraries
# in its cache: use a build directory of its own for each setting.

function(tessarine_require_archive what)
  foreach(library IN LISTS ARGN)
    if(NOT library MATCHES "\\.a$")
      message(FATAL_ERROR "TESSARINE_STATIC_DEPS: ${what} resolved to '${library}', not a static "
                          "archive (install its -dev package; use a fresh build directory)")
    endif()
  endforeach()
endfunction()

# OpenSSL (libcrypto only) and zlib: their find modules choose archives themselves.
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
tessarine_require_archive(OpenSSL::Crypto "${OPENSSL_CRYPTO_LIBRARY}")
set(ZLIB_USE_STATIC_LIBS TRUE)
find_package(ZLIB REQUIRED)
tessarine_require_archive(ZLIB::ZLIB "${ZLIB_LIBRARIES}")

# Abseil and ICU stay shared, bundled into the wheel by auditwheel: Debian's
# archives of them hold position-independent *executable* code, which no
# shared object such as this extension may contain (Abseil's thread-local
# variables use the local-exec model; ICU reads the C library's __timezone
# through a copy relocation), and the linker refuses them.
# ISA-L ships no archive at all (found beside the other dependencies in the
# top-level CMakeLists.txt).
find_package(ICU REQUIRED COMPONENTS uc)
find_package(absl REQUIRED)

# The wheel carries these libraries (linked in, or bundled by auditwheel): put
# their licenses, as Debian's copyright files state them, into the wheel's
# .dist-info/licenses beside the project's own.
if(DEFINED SKBUILD_METADATA_DIR)
  foreach(entry "ICU=libicu[0-9]*" "Abseil=libabsl[0-9]*" "OpenSSL=libssl[0-9]*" "zlib=zlib1g"
                "ISA-L=libisal[0-9]*")
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 package_glob)
    file(GLOB copyright "/usr/share/doc/${package_glob}/copyright")
    if(copyright)
      list(GET copyright 0 copyright)
      install(FILES "${copyright}" RENAME "${name}.txt"
              DESTINATION "${SKBUILD_METADATA_DIR}/licenses/third_party")
    else()
      message(WARNING "TESSARINE_STATIC_DEPS: no license file of ${name} found to put into the wheel")
    endif()
  endforeach()
endif()
