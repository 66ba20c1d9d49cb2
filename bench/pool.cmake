# Costs of the pool client's per-message work: reading a notification into a job, building a
# submit, the two targets.
tavo_add_bench(pool_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pool_bench.cpp LIBS tavo_pool)
