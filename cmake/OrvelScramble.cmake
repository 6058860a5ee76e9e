# orvel_scramble(<out-var> <text>)
# The text's UTF-8 bytes as a C initialiser list "0x.., 0x.., 0x00", each byte XORed with the
# byte stream of a linear congruential generator (see report/MailAccount.cpp, which reverses it).
# Keeps a secret out of the program's plain strings; it is no encryption.
function(orvel_scramble out text)
    string(HEX "${text}" hex)
    string(LENGTH "${hex}" hexLength)
    math(EXPR count "${hexLength} / 2")
    set(state 20061)
    set(bytes "")
    if(count GREATER 0)
        math(EXPR last "${count} - 1")
        foreach(i RANGE ${last})
            math(EXPR pos "${i} * 2")
            string(SUBSTRING "${hex}" ${pos} 2 byte)
            math(EXPR state "(${state} * 1103515245 + 12345) % 2147483648")
            math(EXPR value "0x${byte} ^ ((${state} >> 16) & 255)" OUTPUT_FORMAT HEXADECIMAL)
            string(APPEND bytes "${value}, ")
        endforeach()
    endif()
    # A trailing zero that is not part of the text, so that an empty text is a valid array.
    string(APPEND bytes "0x0")
    set(${out} "${bytes}" PARENT_SCOPE)
    set(${out}_LENGTH ${count} PARENT_SCOPE)
endfunction()

# orvel_c_string(<out-var> <text>): the text escaped for a C string literal.
function(orvel_c_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()
