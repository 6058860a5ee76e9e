# orvel_add_library(<name> SOURCES <files...> [PUBLIC <targets...>] [PRIVATE <targets...>])
# A static library of the listed sources of the calling folder. PUBLIC dependencies are the ones
# its headers expose to whoever includes them; PRIVATE ones (a C library's include folder and
# defines, say) stay inside the library and only reach the final link.
function(orvel_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC orvel_options ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()
