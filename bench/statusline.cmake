# `quotameter-cli statusline` as Claude Code runs it, over a day of generated transcripts:
# the latency of one status-line update.
qm_bench(statusline SOURCES statusline/StatusLineBench.cpp scan/ClaudeCodeGenerator.h
  LIBS qm_history Qt6::Core)
target_compile_definitions(bench_statusline PRIVATE QM_CLI_PATH="$<TARGET_FILE:quotameter-cli>")
add_dependencies(bench_statusline quotameter-cli)
