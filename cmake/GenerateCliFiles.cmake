# Writes the shell completions and manual pages of both programs with the built quotameter-cli
# (`completions` and `manpage`, which read and write no data). Run by the build with -P:
#   -DCLI=<quotameter-cli> -DOUT=<folder>
# Under OUT: the folders `cmake --install` copies below share/ (bash-completion/completions,
# zsh/vendor-completions, fish/vendor_completions.d, man/man1, the pages gzipped as Debian
# ships them).
foreach(var CLI OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "GenerateCliFiles.cmake needs -D${var}=...")
  endif()
endforeach()

# A sanitizer build reports Qt's allocations left at exit; they are no fault here.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
set(bash_dir ${OUT}/bash-completion/completions)
set(zsh_dir ${OUT}/zsh/vendor-completions)
set(fish_dir ${OUT}/fish/vendor_completions.d)
set(man_dir ${OUT}/man/man1)
file(MAKE_DIRECTORY ${bash_dir} ${zsh_dir} ${fish_dir} ${man_dir})

function(qm_write file)
  execute_process(COMMAND ${CLI} ${ARGN} OUTPUT_FILE ${file}.tmp RESULT_VARIABLE status
    ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    file(REMOVE ${file}.tmp)
    message(FATAL_ERROR "quotameter-cli ${ARGN} failed (${status}): ${errors}")
  endif()
  file(RENAME ${file}.tmp ${file})
endfunction()

foreach(program quotameter-cli quotameter)
  qm_write(${bash_dir}/${program} completions bash --program ${program})
  qm_write(${zsh_dir}/_${program} completions zsh --program ${program})
  qm_write(${fish_dir}/${program}.fish completions fish --program ${program})
  qm_write(${man_dir}/${program}.1 manpage --program ${program})
  # gzip -n: no name or time in the header, so the same page gives the same bytes.
  execute_process(COMMAND gzip -9nf -k ${man_dir}/${program}.1 RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of ${program}.1 failed")
  endif()
endforeach()
