# Every test of a build carries the labels that docs/packaging.md lists, and
# the dump past 4 GiB its timeout: ctest's own view of the tests
# (--show-only=json-v1) against the table below, the first row whose pattern
# matches a test's name deciding. A list of labels that a helper flattened
# (gtest_discover_tests' PROPERTIES make LABELS "slow;tool" the label slow
# alone, and drop what follows) fails here.
# Usage: cmake -DCTEST=ctest -DBUILD=FOLDER -DINSTALLED=ON|OFF -P labels.cmake
# (INSTALLED: the tool tests run a binary named by HEXCAT_TEST_BINARY, and
# the heap count, which counts a build of the source, is not among them.)
if(INSTALLED)
  set(noheap "-")
else()
  set(noheap "tool")
endif()
# Name pattern, labels (comma-separated; "-": none), timeout ("-": ctest's).
set(rules
  "^PastFourGiB[.]  slow,tool  600"
  "^Cli[.]          tool       -"
  "^packagenote$    tool       -"
  "^noheap$         ${noheap}  -"
  "^package$        packaging  -"
  "^hiddentable$    unicode    -"
  ".                -          -")

execute_process(COMMAND ${CTEST} --test-dir ${BUILD} --show-only=json-v1 OUTPUT_VARIABLE json RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CTEST} --show-only=json-v1 failed")
endif()
string(JSON count LENGTH "${json}" tests)
if(count EQUAL 0)
  message(FATAL_ERROR "no tests in ${BUILD}")
endif()
set(faults 0)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON name GET "${json}" tests ${i} name)
  # Its labels, comma-separated, and timeout, "-" where none is set.
  set(labels "-")
  set(timeout "-")
  string(JSON nprops ERROR_VARIABLE none LENGTH "${json}" tests ${i} properties)
  if(NOT none AND nprops GREATER 0)
    math(EXPR lastprop "${nprops} - 1")
    foreach(j RANGE ${lastprop})
      string(JSON prop GET "${json}" tests ${i} properties ${j} name)
      if(prop STREQUAL "LABELS")
        string(JSON nlabels LENGTH "${json}" tests ${i} properties ${j} value)
        set(labels "")
        math(EXPR lastlabel "${nlabels} - 1")
        foreach(k RANGE ${lastlabel})
          string(JSON label GET "${json}" tests ${i} properties ${j} value ${k})
          list(APPEND labels ${label})
        endforeach()
        list(SORT labels)
        list(JOIN labels "," labels)
      elseif(prop STREQUAL "TIMEOUT")
        string(JSON timeout GET "${json}" tests ${i} properties ${j} value)
        string(REGEX REPLACE "[.]0*$" "" timeout "${timeout}")
      endif()
    endforeach()
  endif()
  foreach(rule IN LISTS rules)
    separate_arguments(rule UNIX_COMMAND "${rule}")
    list(GET rule 0 pattern)
    if(name MATCHES "${pattern}")
      list(GET rule 1 want_labels)
      list(GET rule 2 want_timeout)
      break()
    endif()
  endforeach()
  if(labels STREQUAL want_labels AND timeout STREQUAL want_timeout)
    message("${name}: labels ${labels}, timeout ${timeout}")
  else()
    message("FAIL: ${name}: labels ${labels}, timeout ${timeout}; want labels ${want_labels}, timeout ${want_timeout}")
    math(EXPR faults "${faults} + 1")
  endif()
endforeach()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} of ${count} tests without the labels or timeout they should have")
endif()
message("${count} tests, each with its labels and timeout")
