# The relay as a `quotameter-cli relay` process on real stores, beside nginx on the same fake
# upstream: throughput, added latency and CPU per request.
qm_bench(relay_process
  SOURCES relay/RelayProcessBench.cpp ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_history Qt6::Network)
target_include_directories(bench_relay_process PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_relay_process PRIVATE QM_CLI_PATH="$<TARGET_FILE:quotameter-cli>")
add_dependencies(bench_relay_process quotameter-cli)
