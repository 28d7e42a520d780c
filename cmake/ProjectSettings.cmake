# One place for the compile settings every target of ours shares.
add_library(quorvia_settings INTERFACE)
target_compile_features(quorvia_settings INTERFACE cxx_std_20)
target_compile_definitions(quorvia_settings INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_DISABLE_DEPRECATED_UP_TO=0x060000)
target_compile_options(quorvia_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2)

# CI builds with warnings as errors, so the code stays at no warnings.
if(QUORVIA_WERROR)
  target_compile_options(quorvia_settings INTERFACE -Werror)
endif()

if(QUORVIA_TSAN)
  target_compile_options(quorvia_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(quorvia_settings INTERFACE -fsanitize=thread)
endif()

if(QUORVIA_SANITIZE)
  target_compile_options(quorvia_settings INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quorvia_settings INTERFACE -fsanitize=address,undefined)
endif()

# The rest is for the test suite.
if(NOT BUILD_TESTING)
  return()
endif()

# Tests keep their assertions even in release builds.
add_library(quorvia_test_settings INTERFACE)
target_link_libraries(quorvia_test_settings INTERFACE quorvia_settings Qt6::Test)
target_compile_definitions(quorvia_test_settings INTERFACE QT_FORCE_ASSERTS)
target_include_directories(quorvia_test_settings INTERFACE ${PROJECT_SOURCE_DIR}/tests/support)

# quorvia_add_test(NAME tst_name SOURCES tst_name.cpp ... LIBS ... [TIMEOUT s])
# Every test runs on the offscreen platform so that none needs a display.
# Every test program, its main source and its CTest name are called tst_<what>.
function(quorvia_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_NAME MATCHES "^tst_[a-z0-9_]+$" OR NOT "${T_NAME}.cpp" IN_LIST T_SOURCES)
    message(FATAL_ERROR "test ${T_NAME}: name it tst_<what> and give it tst_<what>.cpp")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE quorvia_test_settings ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(env "QT_QPA_PLATFORM=offscreen" "QT_LOGGING_RULES=qt.qpa.*=false")
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  else()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 300)
  endif()
endfunction()
