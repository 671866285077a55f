# Vector paths of the LBP transform and the halving: SSE2 on x86-64, NEON on ARM (the
# toolchain file enables it). MEVO_SIMD=OFF builds the scalar code alone, for side-by-side
# counts. The tests compare the compiled path with MEVO_SIMD_EXPECTED, so a target whose flags
# silently lose the vector unit fails them.
option(MEVO_SIMD "Compile the SSE2/NEON paths of the LBP transform and the halving" ON)
if(NOT MEVO_SIMD)
  set(MEVO_SIMD_EXPECTED scalar)
  add_compile_definitions(MEVO_NO_SIMD)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(MEVO_SIMD_EXPECTED sse2)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7|armv7l|aarch64|arm64)")
  set(MEVO_SIMD_EXPECTED neon)
else()
  set(MEVO_SIMD_EXPECTED scalar)
endif()
message(STATUS "SIMD path: ${MEVO_SIMD_EXPECTED}")
