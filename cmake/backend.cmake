# Chooses the GPU back end. `cuda` needs a CUDA compiler; `auto` takes it only when an NVIDIA
# driver is present too, because a cuda build without a driver can find no device to mine on.
include(CheckLanguage)

set(_tavo_backend "${TAVO_BACKEND}")
if(_tavo_backend STREQUAL "auto")
  set(_tavo_backend "cpu")
  check_language(CUDA)
  find_library(_tavo_libcuda NAMES cuda libcuda.so.1)
  if(CMAKE_CUDA_COMPILER AND (_tavo_libcuda OR EXISTS "/proc/driver/nvidia/version"))
    set(_tavo_backend "cuda")
  endif()
endif()
if(NOT _tavo_backend MATCHES "^(cpu|cuda)$")
  message(FATAL_ERROR "TAVO_BACKEND must be auto, cpu or cuda (got '${TAVO_BACKEND}')")
endif()
set(TAVO_BACKEND_RESOLVED "${_tavo_backend}" CACHE INTERNAL "GPU back end in use")

if(TAVO_BACKEND_RESOLVED STREQUAL "cuda")
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    # Native code only: no PTX is embedded, so a GPU outside these four fails at its first launch.
    set(CMAKE_CUDA_ARCHITECTURES "75-real;86-real;89-real;120-real")
  endif()
  set(CMAKE_CUDA_RUNTIME_LIBRARY Static)
  enable_language(CUDA)
  # CMake 3.25 does not know nvcc's C++20 switch; the device code needs no more than C++17.
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
endif()
message(STATUS "tavo: GPU back end = ${TAVO_BACKEND_RESOLVED}")
