# The accounts, relay and trends windows offscreen: opening times, how fast the trends follow
# a new record, and the relay's metered throughput with its window open against closed.
qm_bench(windows
  SOURCES windows/WindowsBench.cpp ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_gui Qt6::Widgets Qt6::Network)
target_include_directories(bench_windows PRIVATE ${PROJECT_SOURCE_DIR}/tests)
