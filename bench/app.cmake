# The desktop application: start to tray icon and resident memory of the real binary under
# Xvfb with trayer; panel show, dashboard redraw and mascot cost in process (offscreen).
qm_bench(app
  SOURCES app/AppBench.cpp app/ExternalApp.cpp app/ExternalApp.h
          ${PROJECT_SOURCE_DIR}/tests/support/RolloutFixtures.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/FakeClaudeSite.h
          ${PROJECT_SOURCE_DIR}/tests/support/FakeHttp.cpp
  LIBS qm_gui Qt6::Widgets Qt6::Test)
target_include_directories(bench_app PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_app PRIVATE QM_APP_BINARY="$<TARGET_FILE:quotameter>")
target_compile_definitions(bench_app PRIVATE
  QM_BROWSER_BINARY="$<TARGET_FILE:quotameter-browser>")
add_dependencies(bench_app quotameter quotameter-browser)
