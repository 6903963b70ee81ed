# Cross-compiling for the device: QNX Neutrino on ARM (aarch64le), with the SDP's qcc driver.
# Use: source the SDP environment (qnxsdp-env.sh), then
#   cmake -B build-qnx -DCMAKE_TOOLCHAIN_FILE=cmake/qnx-aarch64.cmake -DCORESYSTEM_BUILD_TESTS=OFF
set(CMAKE_SYSTEM_NAME QNX)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT DEFINED ENV{QNX_HOST} OR NOT DEFINED ENV{QNX_TARGET})
  message(FATAL_ERROR "QNX_HOST and QNX_TARGET are not set: source the SDP's qnxsdp-env.sh first")
endif()

set(QNX_ARCH aarch64le)
set(CMAKE_C_COMPILER $ENV{QNX_HOST}/usr/bin/qcc)
set(CMAKE_C_COMPILER_TARGET gcc_nto${QNX_ARCH})
set(CMAKE_CXX_COMPILER $ENV{QNX_HOST}/usr/bin/q++)
set(CMAKE_CXX_COMPILER_TARGET gcc_nto${QNX_ARCH}_cxx)
set(CMAKE_SYSROOT $ENV{QNX_TARGET})
set(CMAKE_FIND_ROOT_PATH $ENV{QNX_TARGET} $ENV{QNX_TARGET}/${QNX_ARCH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
