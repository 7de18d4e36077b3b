# Runs zentaflt-service's commands on a small source tree and checks what
# they print and their exit codes (ctest: zentaflt_service_commands).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/source/dir/deeper")
file(WRITE "${WORK}/source/a.txt" "the data of a")
file(WRITE "${WORK}/source/dir/deeper/b.txt" "b")
file(WRITE "${WORK}/source/empty.txt" "")

function(expect name code pattern)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL ${code})
    message(FATAL_ERROR "${name}: exit code ${result}, expected ${code}\n${out}\n${err}")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "${name}: output does not match '${pattern}'\n${out}\n${err}")
  endif()
endfunction()

expect(populate 0 "populated C:.Sync: 2 directories, 3 placeholders \\(14 B\\), 0 failed"
  "${SERVICE}" populate "C:\\Sync" --source "${WORK}/source")
expect(status 0 "3 placeholders, 0 full files, 0 missing.*service connected: no"
  "${SERVICE}" status "C:\\Sync" --source "${WORK}/source")
expect(serve 0 "serving C:.Sync.*disconnected C:.Sync: 0 requests"
  "${SERVICE}" serve "C:\\Sync" --source "${WORK}/source" --duration 0.2 --quiet)
expect(dehydrate 0 "dehydrated C:.Sync.a.txt: 13 B, on disk 4.0 KiB -> 0 B.*space freed: 4.0 KiB"
  "${SERVICE}" dehydrate "C:\\Sync\\a.txt" --source "${WORK}/source")
expect(dehydrate-missing 1 "open C:.Sync.nope.txt: 0x80070002"
  "${SERVICE}" dehydrate "C:\\Sync\\nope.txt" --source "${WORK}/source")
expect(missing-source 3 "read the source"
  "${SERVICE}" populate "C:\\Sync" --source "${WORK}/no-such-source")
expect(not-on-c 3 "use a sync root on the emulated volume C:"
  "${SERVICE}" populate "D:\\Sync" --source "${WORK}/source")
expect(bad-option 2 "unknown option --bogus" "${SERVICE}" populate "C:\\Sync" --bogus)
expect(bad-piece 2 "--piece-size needs a multiple of 4096" "${SERVICE}" serve "C:\\Sync" --source x --piece-size 5000)
