# A PostgreSQL server of the test run's own (scripts/pg_server.sh): a fixture
# that starts it before the first test needing it and stops it after the
# last. Such a test program declares
#   gtest_discover_tests(x ... PROPERTIES FIXTURES_REQUIRED pg_server)
# and finds the server through tests/support/pg_server.h.
# The cluster lives below /tmp, not in the build tree: as root the server runs
# as nobody, who may not reach a checkout in a private home folder. One
# folder per build tree, so that the builds' test runs do not meet.
string(MD5 DK_PG_BUILD_HASH "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${DK_PG_BUILD_HASH}" 0 10 DK_PG_BUILD_HASH)
set(DK_PG_SERVER_DIR /tmp/dk-pg-${DK_PG_BUILD_HASH})
add_test(NAME pg_server_start
         COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/pg_server.sh start ${DK_PG_SERVER_DIR})
set_tests_properties(pg_server_start PROPERTIES FIXTURES_SETUP pg_server)
add_test(NAME pg_server_stop
         COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/pg_server.sh stop ${DK_PG_SERVER_DIR})
set_tests_properties(pg_server_stop PROPERTIES FIXTURES_CLEANUP pg_server)

target_compile_definitions(dk_testsupport INTERFACE DK_PG_SERVER_DIR="${DK_PG_SERVER_DIR}")
target_link_libraries(dk_testsupport INTERFACE PkgConfig::LIBPQ)
