cmake_minimum_required(VERSION 3.25)
# Fails when a core source includes anything but the standard library and
# the core's own headers: the core must build wherever a C++20 compiler does.
# Run with -DSOURCE_DIR=<src folder>.
set(standard_headers
    algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits
    cmath compare concepts cstddef cstdint cstdio cstdlib cstring ctime cwchar deque exception
    expected format forward_list functional initializer_list iomanip ios iosfwd iostream istream
    iterator limits list map memory mutex new numbers numeric optional ostream queue random ranges
    ratio set span sstream stack stdexcept string string_view system_error tuple type_traits typeindex
    typeinfo unordered_map unordered_set utility variant vector)
set(core_folders app discovery connection protocol)

set(violations "")
foreach(folder IN LISTS core_folders)
    file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
    foreach(source IN LISTS sources)
        file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include")
        foreach(line IN LISTS includes)
            if(line MATCHES "<([^>]+)>")
                if(NOT CMAKE_MATCH_1 IN_LIST standard_headers)
                    list(APPEND violations "${source}: ${line}")
                endif()
            elseif(line MATCHES "\"([^/\"]+)/[^\"]+\"")
                if(NOT CMAKE_MATCH_1 IN_LIST core_folders)
                    list(APPEND violations "${source}: ${line}")
                endif()
            else()
                list(APPEND violations "${source}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(violations)
    list(JOIN violations "\n" report)
    message(FATAL_ERROR "The core includes more than the standard library:\n${report}")
endif()
message(STATUS "The core includes only the standard library and its own headers")
