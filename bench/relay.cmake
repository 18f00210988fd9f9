# The relay against calling the fake Gemini upstream directly: added latency, requests per
# second at 32 clients (plain and metered into a 10 000-record history) and streamed-event
# delay. The fake upstream comes from the test support folder.
qm_bench(relay
  SOURCES relay/RelayBench.cpp ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeGeminiUpstream.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_relay qm_history Qt6::Network)
target_include_directories(bench_relay PRIVATE ${PROJECT_SOURCE_DIR}/tests)
