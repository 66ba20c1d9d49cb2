# Device job layouts: interleaving, the round-0 precomputation, the lane-3 masks and the host
# reference of the interleaved search, checked against the CPU proof of work.
tavo_add_test(gpu_djob_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/djob_test.cpp
              LIBS tavo_djob tavo_work)
