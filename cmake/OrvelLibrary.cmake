# orvel_add_library(<name> SOURCES <files...> LIBS <targets...>)
# A static library of the listed sources of the calling folder.
function(orvel_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC orvel_options ${ARG_LIBS})
endfunction()
