# Authenticode signatures for the Windows binaries (tovrik.sys, tovrik_sdk.dll, tovrik.exe), made
# with osslsigncode on the build machine.
#
# By default the build makes a self-signed test certificate with openssl (once per build folder):
# enough for a Windows machine in test-signing mode that trusts it (packaging/INSTALL.md). A
# release passes its own certificate and key instead; Windows 10 and later load a release driver
# only with Microsoft's signature, which attestation signing adds on top (INSTALL.md says how).

option(TOVRIK_SIGN "Sign the Windows binaries with osslsigncode" ON)
set(TOVRIK_SIGN_CERT "" CACHE FILEPATH
    "PEM certificate (chain) to sign the Windows binaries with; empty: a test certificate the build makes")
set(TOVRIK_SIGN_KEY "" CACHE FILEPATH "PEM private key of TOVRIK_SIGN_CERT")

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR NOT TOVRIK_SIGN)
  function(tovrik_sign target)
  endfunction()
  return()
endif()

find_program(TOVRIK_OSSLSIGNCODE osslsigncode)
if(NOT TOVRIK_OSSLSIGNCODE)
  message(FATAL_ERROR "osslsigncode not found: scripts/install-deps.sh installs it (Debian package "
                      "osslsigncode), or configure with -DTOVRIK_SIGN=OFF for unsigned binaries")
endif()

set(TOVRIK_SIGNING_DIR "${CMAKE_BINARY_DIR}/signing")
# The certificate in DER form, as Windows' certificate tools import it; it goes into the package.
set(TOVRIK_SIGNING_CER "${TOVRIK_SIGNING_DIR}/tovrik.cer")

if(TOVRIK_SIGN_CERT)
  if(NOT TOVRIK_SIGN_KEY)
    message(FATAL_ERROR "TOVRIK_SIGN_CERT is set but TOVRIK_SIGN_KEY is not")
  endif()
  set(TOVRIK_SIGNING_PEM "${TOVRIK_SIGN_CERT}")
  set(_key "${TOVRIK_SIGN_KEY}")
  set(_made_by_build OFF)
else()
  set(TOVRIK_SIGNING_PEM "${TOVRIK_SIGNING_DIR}/tovrik-test.pem")
  set(_key "${TOVRIK_SIGNING_DIR}/tovrik-test.key")
  set(_made_by_build ON)
endif()

find_program(TOVRIK_OPENSSL openssl)
if(NOT TOVRIK_OPENSSL)
  message(FATAL_ERROR "openssl not found: scripts/install-deps.sh installs it (Debian package openssl)")
endif()

if(_made_by_build)
  # Code signing only, not a certificate authority; ten years, so a test machine set up once keeps
  # trusting what later builds of this folder sign.
  add_custom_command(
    OUTPUT "${TOVRIK_SIGNING_PEM}" "${_key}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${TOVRIK_SIGNING_DIR}"
    COMMAND "${TOVRIK_OPENSSL}" req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650
            -subj "/O=Tovrik/CN=Tovrik test signing (not for release)"
            -addext "basicConstraints=critical,CA:FALSE"
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
            -keyout "${_key}" -out "${TOVRIK_SIGNING_PEM}"
    COMMENT "Making a test code-signing certificate"
    VERBATIM)
endif()
add_custom_command(
  OUTPUT "${TOVRIK_SIGNING_CER}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${TOVRIK_SIGNING_DIR}"
  COMMAND "${TOVRIK_OPENSSL}" x509 -in "${TOVRIK_SIGNING_PEM}" -outform der -out "${TOVRIK_SIGNING_CER}"
  DEPENDS "${TOVRIK_SIGNING_PEM}"
  VERBATIM)
set(_signing_outputs "${TOVRIK_SIGNING_PEM}" "${TOVRIK_SIGNING_CER}")
unset(TOVRIK_SIGNING_PFX CACHE)
if(_made_by_build)
  # The test key as a PFX for signtool on a Windows test machine, to sign the catalog that Inf2Cat
  # makes there with the certificate the binaries already carry (INSTALL.md). It stays in the
  # build folder: a key that a test machine trusts as a root never goes into the package.
  # SHA-1/3DES protection, which every Windows 10 release imports; its password is tovrik-test.
  set(TOVRIK_SIGNING_PFX "${TOVRIK_SIGNING_DIR}/tovrik-test.pfx" CACHE INTERNAL "The test key for signtool")
  add_custom_command(
    OUTPUT "${TOVRIK_SIGNING_PFX}"
    COMMAND "${TOVRIK_OPENSSL}" pkcs12 -export -inkey "${_key}" -in "${TOVRIK_SIGNING_PEM}"
            -name "Tovrik test signing" -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
            -passout pass:tovrik-test -out "${TOVRIK_SIGNING_PFX}"
    DEPENDS "${TOVRIK_SIGNING_PEM}" "${_key}"
    VERBATIM)
  list(APPEND _signing_outputs "${TOVRIK_SIGNING_PFX}")
endif()
add_custom_target(tovrik_signing_certificate DEPENDS ${_signing_outputs})

# Signs a target's file in place each time it is linked (SHA-256, the only digest Windows 10
# accepts for kernel code). A file is signed once: the POST_BUILD step follows the link that
# made it unsigned.
function(tovrik_sign target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  add_dependencies(${target} tovrik_signing_certificate)
  set(_file "$<TARGET_FILE:${target}>")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${_file}.signed"
    COMMAND "${TOVRIK_OSSLSIGNCODE}" sign -certs "${TOVRIK_SIGNING_PEM}" -key "${_key}" -h sha256
            -n "${ARG_DESCRIPTION}" -in "${_file}" -out "${_file}.signed"
    COMMAND "${CMAKE_COMMAND}" -E rename "${_file}.signed" "${_file}"
    COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
    VERBATIM)
endfunction()
