# One Claude limits fetch in real WebEngine against the fake site: cold (a new session whose
# page is not on the site yet) and warm (the next fetch), with the peak memory of the
# browser side and its helper processes. The fake site comes from the test support folder.
qm_bench(claude
  SOURCES claude/ClaudeFetchBench.cpp ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_browser Qt6::Widgets Qt6::WebEngineWidgets)
target_include_directories(bench_claude PRIVATE ${PROJECT_SOURCE_DIR}/tests)

# The application's resident memory at start, after a fetch through the browser process and
# after that process's idle exit.
qm_bench(claude_memory
  SOURCES claude/BrowserMemoryBench.cpp ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_claude Qt6::Widgets Qt6::Network Qt6::Test)
target_include_directories(bench_claude_memory PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_claude_memory PRIVATE
  QM_BROWSER_BINARY="$<TARGET_FILE:quotameter-browser>")
add_dependencies(bench_claude_memory quotameter-browser)
