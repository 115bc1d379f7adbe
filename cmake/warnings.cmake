# netlayer_warnings(<target>): the warning level every target of ours builds at.
function(netlayer_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${NETLAYER_WERROR}>:-Werror>)
endfunction()
