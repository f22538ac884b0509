# Small Windows images made with the LLVM tools, for the test fixtures and the
# demo: one C file compiled for Windows, a resource script, lld-link.
#
#   elam_find_windows_tools(<found-var>)
#   elam_windows_object(<obj> <source.c> <triple> <comment>)
#   elam_windows_image(<image> <obj> <rc> <res> <machine> <comment> <link options>...)

function(elam_find_windows_tools found)
  find_program(ELAM_WIN_CLANG NAMES clang-16)
  find_program(ELAM_WIN_RC NAMES llvm-rc-16)
  find_program(ELAM_WIN_LINK NAMES lld-link-16)
  if(ELAM_WIN_CLANG AND ELAM_WIN_RC AND ELAM_WIN_LINK)
    set(${found} TRUE PARENT_SCOPE)
  else()
    set(${found} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(elam_windows_object obj source triple comment)
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${ELAM_WIN_CLANG} --target=${triple} -ffreestanding -fno-exceptions -O1
            -c ${source} -o ${obj}
    DEPENDS ${source}
    COMMENT "${comment}"
    VERBATIM)
endfunction()

function(elam_windows_image image obj rc res machine comment)
  add_custom_command(
    OUTPUT ${res}
    COMMAND ${ELAM_WIN_RC} /fo ${res} -- ${rc}
    DEPENDS ${rc}
    COMMENT "Compiling the resources of ${comment}"
    VERBATIM)
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${ELAM_WIN_LINK} /nologo /nodefaultlib /machine:${machine} ${ARGN}
            /out:${image} ${obj} ${res}
    DEPENDS ${obj} ${res}
    COMMENT "Linking ${comment}"
    VERBATIM)
endfunction()
