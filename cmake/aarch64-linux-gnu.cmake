# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu.
# Compile flags stay in CMakeLists.txt (vx_flags), the same for every target.
#
# VX_TARGET_ROOT: an unpacked arm64 Debian root holding the target's Python
# headers (libpython3.X-dev); `make cross-check` makes one under build/.
# The rest of what FindPython cannot learn from a host interpreter comes on
# the command line: Python_EXECUTABLE (a host interpreter of the target's
# version, which also runs SWIG), Python_NumPy_INCLUDE_DIR and Python_SOABI.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Host programs (SWIG), target libraries and headers only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX_TARGET_ROOT)
if(VX_TARGET_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VX_TARGET_ROOT}")
  file(GLOB vx_target_python LIST_DIRECTORIES true "${VX_TARGET_ROOT}/usr/include/python3.*")
  if(NOT Python_INCLUDE_DIR AND vx_target_python)
    list(GET vx_target_python 0 vx_target_python)
    set(Python_INCLUDE_DIR "${vx_target_python}" CACHE PATH "the target's Python headers")
  endif()
  # Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>;
  # searched last, so the toolchain's own C library headers come first.
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${VX_TARGET_ROOT}/usr/include")
endif()
