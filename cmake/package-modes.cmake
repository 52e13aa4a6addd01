# Run by CPack once the packages are made. A .deb is an ar archive whose
# headers give each member the mode its file had, which the builder's umask
# decided; every member is given the usual 0644.
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" "100644")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${package}" size)
  set(header 8)  # after "!<arch>\n"
  while(header LESS size)
    # A header is 60 bytes: the mode at 40, the member's size at 48.
    file(READ "${package}" length OFFSET ${header} LIMIT 60)
    string(SUBSTRING "${length}" 48 10 length)
    string(STRIP "${length}" length)
    math(EXPR mode "${header} + 40")
    execute_process(COMMAND dd "of=${package}" bs=1 seek=${mode} conv=notrunc
                            status=none
                    INPUT_FILE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode"
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR header "${header} + 60 + ${length} + ${length} % 2")
  endwhile()
endforeach()
