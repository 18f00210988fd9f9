# The tray application with its logs watched: its processor time while the logs are still and
# while one session gets a line a second, and how soon a line reaches the index.
qm_bench(live
  SOURCES live/LiveAppBench.cpp ledger/ChildProcess.cpp ledger/ChildProcess.h
          ${PROJECT_SOURCE_DIR}/tests/support/RolloutFixtures.cpp
  LIBS Qt6::Core)
target_include_directories(bench_live PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_live PRIVATE
  QM_APP_BINARY="$<TARGET_FILE:quotameter>" QM_CHILD_METER="$<TARGET_FILE:child_meter>")
add_dependencies(bench_live quotameter child_meter)
