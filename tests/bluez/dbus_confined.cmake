# Fails when a source whose file name lacks "bluez" includes a Qt D-Bus header.
# Qt Bluetooth pulls Qt D-Bus in on Linux, so such an include compiles here and
# breaks the builds without BlueZ's extras (macOS, Windows) only there.
# Usage: cmake -DROOT=<source folder> -P dbus_confined.cmake
file(GLOB_RECURSE sources LIST_DIRECTORIES false ${ROOT}/src/* ${ROOT}/tests/* ${ROOT}/bench/* ${ROOT}/fuzz/*)
list(FILTER sources INCLUDE REGEX "\\.(h|hpp|cpp|cc|mm)$")
if(NOT sources)
    message(FATAL_ERROR "no sources under ${ROOT}")
endif()
set(strays)
foreach(source ${sources})
    cmake_path(GET source FILENAME name)
    if(NOT name MATCHES "bluez")
        file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](QtDBus|QDBus)")
        if(includes)
            list(APPEND strays "${source}: ${includes}")
        endif()
    endif()
endforeach()
if(strays)
    list(JOIN strays "\n" text)
    message(FATAL_ERROR "D-Bus included outside the BlueZ files:\n${text}")
endif()
