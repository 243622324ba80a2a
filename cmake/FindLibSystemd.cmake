# Finds libsystemd (sd-bus, sd-event, sd-daemon) from libsystemd-dev: for a
# cross build, the multiarch package of the target's architecture
# (libsystemd-dev:armhf), which lives outside the cross tool-chain's root.
# Gives LibSystemd_FOUND and the imported target LibSystemd::LibSystemd.

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
    OUTPUT_VARIABLE LibSystemd_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
find_path(LibSystemd_INCLUDE_DIR NAMES systemd/sd-bus.h HINTS /usr/include NO_CMAKE_FIND_ROOT_PATH)
find_library(LibSystemd_LIBRARY NAMES systemd HINTS /usr/lib/${LibSystemd_MULTIARCH}
    NO_CMAKE_FIND_ROOT_PATH)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LibSystemd REQUIRED_VARS LibSystemd_LIBRARY LibSystemd_INCLUDE_DIR)

if(LibSystemd_FOUND AND NOT TARGET LibSystemd::LibSystemd)
    add_library(LibSystemd::LibSystemd UNKNOWN IMPORTED)
    set_target_properties(LibSystemd::LibSystemd PROPERTIES
        IMPORTED_LOCATION "${LibSystemd_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${LibSystemd_INCLUDE_DIR}")
endif()

mark_as_advanced(LibSystemd_INCLUDE_DIR LibSystemd_LIBRARY)
