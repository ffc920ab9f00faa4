# Checks the language test runner itself, with /bin/sh standing in for the
# interpreter: the cases under pass/ must all pass, and every case under fail/
# must fail for its own reason, which its report has to name.
# Run as: cmake -DLANGTEST=path -DDIR=this-directory -P check.cmake

function(run_langtest out_var status_var)
  execute_process(COMMAND ${LANGTEST} --vessrin /bin/sh ${ARGN}
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  set(${out_var} "${output}${errors}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

function(expect output fragment)
  string(FIND "${output}" "${fragment}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "langtest output lacks:\n${fragment}\n--- output was:\n${output}")
  endif()
endfunction()

# The caller's module path must not reach a case (pass/env.test prints it).
set(ENV{VESSRIN_STD_PATH} /nowhere)

run_langtest(out status ${DIR}/pass)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "passing cases failed (status ${status}):\n${out}")
endif()
expect("${out}" "11 passed, 0 failed\n")

run_langtest(out status --stress ${DIR}/pass)
expect("${out}" "10 passed, 0 failed, 1 skipped\n")

run_langtest(out status --filter stdin ${DIR}/pass)
expect("${out}" "2 passed, 0 failed\n")

run_langtest(out status --timeout 3 --jobs 4 ${DIR}/fail)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "failing cases gave status ${status}, not 1:\n${out}")
endif()
expect("${out}" "0 passed, 10 failed\n")
expect("${out}" "FAIL ${DIR}/fail/big_output.test\n--- expected stdout\n+++ actual stdout\n@@ -0,0 +1,100000 @@\n+1\n+2\n")
expect("${out}" "+120\n... (diff cut after 120 lines)\n")
expect("${out}" "+++ actual stderr\n@@ -0,0 +1,1 @@\n+a\\x1B[1mb\\x0D\n")
expect("${out}" "fail/missing_copy.test\n  cannot read copy source 'tests/lang/selfcheck/no-such-file.txt'")
expect("${out}" "fail/missing_newline.test\n--- expected stdout\n+++ actual stdout\n@@ -1,1 +1,1 @@\n-abc\n+abc\n\\ No newline at end of file\n")
expect("${out}" "fail/signal.test\n  killed by signal 11 (SIGSEGV)\n")
expect("${out}" "fail/timeout.test\n  timed out after 3 s\n")
expect("${out}" "fail/unknown_section.test\n  malformed case: unknown section 'stdot' (line 3)\n")
expect("${out}" "fail/unsafe_file_name.test\n  malformed case: file name '../escape.txt' must be a relative path inside the case\n")
expect("${out}" "fail/wrong_status.test\n--- expected status\n+++ actual status\n-0\n+4\n")
expect("${out}" "fail/wrong_stdout.test\n--- expected stdout\n+++ actual stdout\n@@ -1,3 +1,3 @@\n one\n-2\n+two\n three\n")
