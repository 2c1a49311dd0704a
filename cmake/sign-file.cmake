# Signs FILE in place with osslsigncode (run with cmake -P; see signing.cmake for the variables). The signature is
# written to a temporary file that replaces FILE only when whole. When signing fails, FILE is deleted: an unsigned
# executable must not sit where the signed one is expected, and the next build then links and signs it again.
set(signing "${FILE}.signing")
file(REMOVE "${signing}")

set(options -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}" -h sha256 -n "Vorlance Updater")
if(TIMESTAMP_URL)
    list(APPEND options -ts "${TIMESTAMP_URL}")
endif()
if(SIGNING_TIME)
    list(APPEND options -time "${SIGNING_TIME}")
endif()

execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} -in "${FILE}" -out "${signing}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${signing}")
    file(REMOVE "${signing}" "${FILE}")
    message(FATAL_ERROR "signing ${FILE} failed (${result}); the unsigned file was deleted:\n${output}")
endif()
file(CHMOD "${signing}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                         WORLD_EXECUTE)
file(RENAME "${signing}" "${FILE}")
