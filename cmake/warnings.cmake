# Warnings for the project's own targets only (not for GoogleTest or the zip library of the platform).
add_library(updater_warnings INTERFACE)
if(MSVC)
    target_compile_options(updater_warnings INTERFACE /W4 /WX /permissive-)
else()
    target_compile_options(updater_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Werror)
endif()
