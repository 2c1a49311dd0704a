# Keys and signatures for the tests, made once per build folder with openssl and kept there, never in the sources:
#   ${VORLANCE_TEST_KEYS_DIR}/release-1.key.pem, release-1.pub.pem, release-2.*   the two keys test_release_keys holds
#   ${VORLANCE_TEST_KEYS_DIR}/other.key.pem, other.pub.pem                        a key that is built in nowhere
#   ${VORLANCE_TEST_KEYS_DIR}/SHA256SUMS and SHA256SUMS.<key>.sig                 a list and each key's signature
# test_keys.h (target test_keys_header's include folder) carries the list and the signatures as hexadecimal text.
find_program(OPENSSL_PROGRAM openssl REQUIRED)
set(VORLANCE_TEST_KEYS_DIR ${CMAKE_BINARY_DIR}/test-keys)
file(MAKE_DIRECTORY ${VORLANCE_TEST_KEYS_DIR})

function(vorlance_run_openssl)
    execute_process(COMMAND ${OPENSSL_PROGRAM} ${ARGN} WORKING_DIRECTORY ${VORLANCE_TEST_KEYS_DIR}
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "openssl ${ARGN}: ${error}")
    endif()
endfunction()

set(list_file ${VORLANCE_TEST_KEYS_DIR}/SHA256SUMS)
if(NOT EXISTS ${list_file})
    string(REPEAT "a" 64 game_digest)
    string(REPEAT "b" 64 package_digest)
    file(WRITE ${list_file} "${game_digest}  game.exe\n${package_digest}  lib.zip\n")
endif()
set(test_key_definitions "")
foreach(name release-1 release-2 other)
    if(NOT EXISTS ${VORLANCE_TEST_KEYS_DIR}/${name}.sig.done)
        vorlance_run_openssl(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${name}.key.pem)
        vorlance_run_openssl(pkey -in ${name}.key.pem -pubout -out ${name}.pub.pem)
        vorlance_run_openssl(dgst -sha256 -sign ${name}.key.pem -out SHA256SUMS.${name}.sig SHA256SUMS)
        file(TOUCH ${VORLANCE_TEST_KEYS_DIR}/${name}.sig.done)
    endif()
    file(READ ${VORLANCE_TEST_KEYS_DIR}/SHA256SUMS.${name}.sig signature HEX)
    string(MAKE_C_IDENTIFIER "${name}" identifier)
    string(TOUPPER "${identifier}" identifier)
    string(APPEND test_key_definitions "const char TEST_SIGNATURE_HEX_${identifier}[] = \"${signature}\";\n")
endforeach()
file(READ ${list_file} list_hex HEX)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/test-keys-include/test_keys.h @ONLY CONTENT
"#pragma once

// Made by the build (tests/common/test_keys.cmake): the test list and its signatures by the two built-in test keys
// and by a key that is built in nowhere, as hexadecimal text.
const char TEST_LIST_HEX[] = \"${list_hex}\";
${test_key_definitions}")
add_library(test_keys_header INTERFACE)
target_include_directories(test_keys_header INTERFACE ${CMAKE_BINARY_DIR}/test-keys-include)

vorlance_add_release_keys(test_release_keys VORLANCE_TEST_KEYS ${VORLANCE_TEST_KEYS_DIR}/release-1.pub.pem
                          ${VORLANCE_TEST_KEYS_DIR}/release-2.pub.pem)
vorlance_add_release_keys(no_release_keys NO_RELEASE_KEYS)
