# Finds an installed wiringPi: wiringPi.h, softPwm.h and libwiringPi.so.
# Gives WiringPi_FOUND, WiringPi_INCLUDE_DIR, WiringPi_LIBRARY and the
# imported target WiringPi::WiringPi.

find_path(WiringPi_INCLUDE_DIR NAMES wiringPi.h)
find_path(WiringPi_SOFTPWM_INCLUDE_DIR NAMES softPwm.h)
find_library(WiringPi_LIBRARY NAMES wiringPi)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(WiringPi
    REQUIRED_VARS WiringPi_LIBRARY WiringPi_INCLUDE_DIR WiringPi_SOFTPWM_INCLUDE_DIR)

if(WiringPi_FOUND AND NOT TARGET WiringPi::WiringPi)
    add_library(WiringPi::WiringPi UNKNOWN IMPORTED)
    set_target_properties(WiringPi::WiringPi PROPERTIES
        IMPORTED_LOCATION "${WiringPi_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${WiringPi_INCLUDE_DIR};${WiringPi_SOFTPWM_INCLUDE_DIR}")
endif()

mark_as_advanced(WiringPi_INCLUDE_DIR WiringPi_SOFTPWM_INCLUDE_DIR WiringPi_LIBRARY)
