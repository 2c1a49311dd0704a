# The studio's public keys for the signature over the checksum list, built into the updater. Empty (the default): no
# key, and the shipped updater stays byte for byte the build without them.
set(UPDATER_RELEASE_KEYS "" CACHE STRING
    "Public-key PEM files (P-256) whose signatures over SHA256SUMS the updater accepts, separated by ';'")

# The exact form the updater's key parser accepts, checked here in CMake's own terms so that configuring needs no
# tool: the PEM lines, and a body whose base64 is the SubjectPublicKeyInfo prefix of a named P-256 key with an
# uncompressed point (36 fixed digits), 64 bytes of X and Y, and the canonical padding of the last byte.
set(RELEASE_KEY_PEM_PATTERN "^-----BEGIN PUBLIC KEY-----\r?\n([A-Za-z0-9+/=]+\r?\n)+-----END PUBLIC KEY-----(\r?\n)?$")
set(RELEASE_KEY_BODY_PATTERN "^MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]+[AQgw]==$")
set(RELEASE_KEY_BODY_CHARACTERS 124)

# Fails configuring unless file is a P-256 public key PEM the updater accepts. With openssl at hand it also asks
# openssl to load the key, which checks that the point lies on the curve.
function(vorlance_check_release_key variable file)
    if(NOT IS_ABSOLUTE "${file}" OR NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
        message(FATAL_ERROR "${variable}: no such key file (an absolute path is needed): ${file}")
    endif()
    file(READ "${file}" pem)
    string(REGEX REPLACE "-----[A-Z ]+-----|\r|\n" "" body "${pem}")
    string(LENGTH "${body}" length)
    if(NOT pem MATCHES "${RELEASE_KEY_PEM_PATTERN}" OR NOT body MATCHES "${RELEASE_KEY_BODY_PATTERN}"
       OR NOT length EQUAL RELEASE_KEY_BODY_CHARACTERS)
        message(FATAL_ERROR "${variable}: ${file} is not a P-256 public key in PEM form (\"-----BEGIN PUBLIC KEY-----\", "
                            "uncompressed point, as 'scripts/pack keygen' or 'openssl pkey -pubout' writes it)")
    endif()
    find_program(OPENSSL_PROGRAM openssl)
    if(OPENSSL_PROGRAM)
        execute_process(COMMAND ${OPENSSL_PROGRAM} pkey -pubin -in "${file}" -noout
                        RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${variable}: openssl cannot load the key in ${file}: ${error}")
        endif()
    endif()
endfunction()

# A static library TARGET with RELEASE_KEY_PEMS (update/release_keys.h) holding the PEM texts of the given files.
# Configuring again picks up a changed file.
function(vorlance_add_release_keys target variable)
    set(entries "")
    foreach(file IN LISTS ARGN)
        vorlance_check_release_key(${variable} "${file}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
        file(READ "${file}" pem)
        # The check above leaves only base64, dashes, spaces and line ends, so escaping the line ends is enough.
        string(REPLACE "\r" "\\r" pem "${pem}")
        string(REPLACE "\n" "\\n\"\n    \"" pem "${pem}")
        string(APPEND entries "    \"${pem}\",\n")
    endforeach()
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
    file(CONFIGURE OUTPUT ${source} @ONLY CONTENT
"// Made by the build from ${variable}; configure again to change it.
#include \"update/release_keys.h\"

const char* const RELEASE_KEY_PEMS[] = {
${entries}    nullptr,
};
")
    add_library(${target} STATIC ${source})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PRIVATE updater_warnings)
endfunction()
