# The GPU back end: profiles, the kernels against the CPU reference, the device context and, in
# the cpu flavour, the CPU stand-in of the CUDA runtime with its fault plan. Kernel and context
# tests skip on a cuda build without a GPU.
set(_gpu_dir ${CMAKE_CURRENT_LIST_DIR})

tavo_add_test(gpu_profiles_test SOURCES ${_gpu_dir}/profiles_test.cpp LIBS tavo_gpu)
tavo_add_test(gpu_kernels_test SOURCES ${_gpu_dir}/kernels_test.cpp LIBS tavo_gpu tavo_work)
tavo_add_test(gpu_device_context_test SOURCES ${_gpu_dir}/device_context_test.cpp
              LIBS tavo_gpu tavo_work)

if(NOT TAVO_BACKEND_RESOLVED STREQUAL "cuda")
  # The stand-in's hash loops come in three instruction sets; the default run takes the best the
  # machine has, these two runs prove the others exact too.
  tavo_add_test(gpu_kernels_avx2_test SOURCES ${_gpu_dir}/kernels_test.cpp LIBS tavo_gpu tavo_work
                ENV TAVO_CPU_ISA=avx2)
  tavo_add_test(gpu_kernels_baseline_test SOURCES ${_gpu_dir}/kernels_test.cpp
                LIBS tavo_gpu tavo_work ENV TAVO_CPU_ISA=baseline)
  tavo_add_test(gpu_faults_test SOURCES ${_gpu_dir}/faults_test.cpp LIBS tavo_gpu tavo_work)
  tavo_add_test(gpu_cuda_runtime_cpu_test SOURCES ${_gpu_dir}/cuda_runtime_cpu_test.cpp
                LIBS tavo_platform_cuda)
  # One environment entry per executable: the test helper passes a single ENV entry through.
  tavo_add_test(gpu_cuda_runtime_cpu_env_devices_test
                SOURCES ${_gpu_dir}/cuda_runtime_cpu_env_test.cpp LIBS tavo_gpu
                ENV TAVO_CPU_DEVICES=3)
  target_compile_definitions(gpu_cuda_runtime_cpu_env_devices_test PRIVATE TAVO_ENV_DEVICES)
  tavo_add_test(gpu_cuda_runtime_cpu_env_faults_test
                SOURCES ${_gpu_dir}/cuda_runtime_cpu_env_test.cpp LIBS tavo_gpu
                ENV TAVO_CPU_FAULTS=props@0)
  target_compile_definitions(gpu_cuda_runtime_cpu_env_faults_test PRIVATE TAVO_ENV_FAULTS)
endif()
