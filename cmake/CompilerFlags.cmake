# Warnings for our own targets only (generated protobuf code and third-party headers are exempt).
set(VT3_WARNING_FLAGS -Wall -Wextra -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
if(VT3_WARNINGS_AS_ERRORS)
    list(APPEND VT3_WARNING_FLAGS -Werror)
endif()

function(vt3_target_warnings target)
    target_compile_options(${target} PRIVATE ${VT3_WARNING_FLAGS})
endfunction()

if(VT3_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VT3_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
if(VT3_FUZZ)
    # Instrument the libraries for coverage too; the fuzz targets add the libFuzzer main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
