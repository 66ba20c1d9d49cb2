# The device code's speed on the CPU stand-in per profile, next to OpenSSL's SHA3-256.
tavo_add_bench(gpu_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gpu_bench.cpp LIBS tavo_gpu OpenSSL::Crypto)
