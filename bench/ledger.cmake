# The usage index: a cold report over a generated tree with 1 and 2 threads, a warm one, one
# after an append, and the index's size; the command-line program's common calls as child
# processes; with --app, the tray application after its first index build.
qm_bench(ledger
  SOURCES ledger/LedgerBench.cpp ledger/BenchTree.cpp ledger/BenchTree.h ledger/BenchFigures.h
          ledger/ChildProcess.cpp ledger/ChildProcess.h ledger/CliFigures.cpp
          ledger/CliFigures.h ledger/TrayAppFigures.cpp ledger/TrayAppFigures.h
          scan/ClaudeCodeGenerator.h scan/ScanGenerator.h
  LIBS qm_ledger qm_history Qt6::Core)
# Starts each measured program, so its peak memory is not the bench's (not a bench_ itself:
# scripts/bench runs every bench_ program).
add_executable(child_meter ledger/ChildMeter.cpp)
target_compile_definitions(bench_ledger PRIVATE
  QM_CLI_PATH="$<TARGET_FILE:quotameter-cli>" QM_CHILD_METER="$<TARGET_FILE:child_meter>")
add_dependencies(bench_ledger quotameter-cli child_meter)
