# Run by CPack between staging the packages' files and packing them: strips
# debug information, comments and notes from every staged static library, as
# Debian's dh_strip does.
file(GLOB_RECURSE libraries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a")
foreach(library IN LISTS libraries)
  execute_process(COMMAND "${CPACK_NETLAYER_STRIP}" --strip-debug --remove-section=.comment
                          --remove-section=.note --enable-deterministic-archives "${library}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
