# glow_python_launcher(NAME SCRIPT): writes ${CMAKE_BINARY_DIR}/NAME, which
# runs SCRIPT with GLOW_PYTHON and this build's programs and virtual board.
function(glow_python_launcher name script)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/${name}
        CONTENT "#!/bin/sh
# Made by the build; runs ${name} on this build's programs and virtual board.
export GLOW_PROGRAM_DIR='$<TARGET_FILE_DIR:glowbreathe>'
export GLOW_PROGRAM_TABLE='${CMAKE_BINARY_DIR}/programs.txt'
export GLOW_BOARD_ENVIRONMENT='${CMAKE_BINARY_DIR}/virtual-board.env'
exec '${GLOW_PYTHON}' '${script}' \"$@\"
"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                         WORLD_READ WORLD_EXECUTE)
endfunction()
