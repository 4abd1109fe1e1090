# Which LibTorch the second training engine builds against. Where python3 has a CUDA PyTorch
# that scripts/cuda-torch-probe accepts (2.7 or later, with nvcc installed), its LibTorch, built
# for the architectures of this machine's cards; otherwise Debian's CPU build (libtorch-dev).
# VELA_LIBTORCH=system skips the probe. Sets VELA_HAVE_TORCH_ENGINE and VELA_TORCH_CUDA, and says
# in the configure output which LibTorch, which CUDA and which architectures it took.
set(VELA_LIBTORCH "auto" CACHE STRING "auto: a CUDA PyTorch's LibTorch where one is usable, else Debian's; system: Debian's")
set(VELA_TORCH_CUDA OFF)
set(vela_no_cuda_because "VELA_LIBTORCH=${VELA_LIBTORCH}")

# key=value lines of the probe's answer.
function(vela_probe_value answer key out)
  string(REGEX MATCH "(^|\n)${key}=([^\n]*)" found "${answer}")
  set(${out} "${CMAKE_MATCH_2}" PARENT_SCOPE)
endfunction()

if(VELA_LIBTORCH STREQUAL "auto")
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(Python3_Interpreter_FOUND)
    execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/../scripts/cuda-torch-probe
      OUTPUT_VARIABLE vela_probe RESULT_VARIABLE vela_probe_result ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(vela_probe_result EQUAL 0)
      vela_probe_value("${vela_probe}" torch vela_cuda_torch_version)
      vela_probe_value("${vela_probe}" cuda vela_cuda_version)
      vela_probe_value("${vela_probe}" cmake_prefix_path vela_cuda_torch_prefix)
      vela_probe_value("${vela_probe}" nvcc vela_nvcc)
      vela_probe_value("${vela_probe}" architectures vela_cuda_architectures)
      set(VELA_TORCH_CUDA ON)
    else()
      set(vela_no_cuda_because "${vela_probe}")
    endif()
  else()
    set(vela_no_cuda_because "no python3")
  endif()
endif()

if(VELA_TORCH_CUDA)
  # LibTorch's own CMake files enable CUDA and need the compiler and the architectures; without
  # architectures they would detect them, or build for every one.
  list(PREPEND CMAKE_PREFIX_PATH "${vela_cuda_torch_prefix}")
  set(Torch_DIR "${vela_cuda_torch_prefix}/Torch" CACHE PATH "LibTorch's CMake files" FORCE)
  set(VELA_PROBED_TORCH_DIR "${Torch_DIR}" CACHE INTERNAL "the LibTorch the probe chose last")
  unset(Caffe2_DIR CACHE) # found again beside that Torch_DIR, not where an earlier choice left it
  set(CMAKE_CUDA_COMPILER "${vela_nvcc}")
  if(vela_cuda_architectures)
    set(TORCH_CUDA_ARCH_LIST "${vela_cuda_architectures}")
    string(REPLACE "." "" CMAKE_CUDA_ARCHITECTURES "${vela_cuda_architectures}")
  else()
    set(vela_cuda_architectures "none found on this machine; LibTorch's defaults")
  endif()
  find_package(Torch REQUIRED)
  set(VELA_HAVE_TORCH_ENGINE ON)
  message(STATUS "Torch training engine: LibTorch ${vela_cuda_torch_version} with CUDA ${vela_cuda_version} "
    "from ${Torch_DIR}; nvcc ${vela_nvcc}; CUDA architectures ${vela_cuda_architectures}")
else()
  # A PyTorch that has gone since the last configure, or the one the probe chose then: neither
  # is what this configure wants.
  if(Torch_DIR AND (NOT EXISTS "${Torch_DIR}/TorchConfig.cmake" OR Torch_DIR STREQUAL VELA_PROBED_TORCH_DIR))
    unset(Torch_DIR CACHE)
    unset(Caffe2_DIR CACHE)
  endif()
  find_package(Torch QUIET)
  if(Torch_FOUND)
    set(VELA_HAVE_TORCH_ENGINE ON)
    message(STATUS "Torch training engine: LibTorch ${Torch_VERSION} from ${Torch_DIR}, CPU only "
      "(no CUDA PyTorch: ${vela_no_cuda_because})")
  else()
    set(VELA_HAVE_TORCH_ENGINE OFF)
    message(STATUS "Torch training engine: not built (no LibTorch found; install libtorch-dev)")
  endif()
endif()
