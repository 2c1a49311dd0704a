# Optional Authenticode signing of the shipped executable with osslsigncode. Without a certificate nothing is added
# and the unsigned build stays byte for byte what it was.
set(UPDATER_SIGNING_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and key; empty: no signing")
set(UPDATER_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 password (one line)")
set(UPDATER_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 timestamp server; empty: no timestamp")
set(UPDATER_SIGNING_TIME "" CACHE STRING
    "Signing time as Unix seconds, for reproducible signatures; empty: the time of the build")

# Adds signing as the last step of linking TARGET, so that every build of it that succeeds is signed.
function(vorlance_sign_after_build target)
    if(NOT UPDATER_SIGNING_PKCS12)
        return()
    endif()
    if(NOT EXISTS "${UPDATER_SIGNING_PKCS12}")
        message(FATAL_ERROR "UPDATER_SIGNING_PKCS12: no such file: ${UPDATER_SIGNING_PKCS12}")
    endif()
    # A password on a command line is readable by every user of the machine; a file can be kept private.
    if(NOT UPDATER_SIGNING_PASSWORD_FILE OR NOT EXISTS "${UPDATER_SIGNING_PASSWORD_FILE}")
        message(FATAL_ERROR "UPDATER_SIGNING_PASSWORD_FILE must name the file that holds the PKCS#12 password")
    endif()
    if(UPDATER_SIGNING_TIMESTAMP_URL AND NOT UPDATER_SIGNING_TIMESTAMP_URL MATCHES "^https?://")
        message(FATAL_ERROR "UPDATER_SIGNING_TIMESTAMP_URL must be an http:// or https:// URL")
    endif()
    if(UPDATER_SIGNING_TIME AND NOT UPDATER_SIGNING_TIME MATCHES "^[0-9]+$")
        message(FATAL_ERROR "UPDATER_SIGNING_TIME must be a number of seconds since 1970")
    endif()
    find_program(OSSLSIGNCODE osslsigncode REQUIRED)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DOSSLSIGNCODE=${OSSLSIGNCODE}
                "-DPKCS12=${UPDATER_SIGNING_PKCS12}" "-DPASSWORD_FILE=${UPDATER_SIGNING_PASSWORD_FILE}"
                "-DTIMESTAMP_URL=${UPDATER_SIGNING_TIMESTAMP_URL}" "-DSIGNING_TIME=${UPDATER_SIGNING_TIME}"
                -P ${PROJECT_SOURCE_DIR}/cmake/sign-file.cmake
        COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
        VERBATIM)
endfunction()
