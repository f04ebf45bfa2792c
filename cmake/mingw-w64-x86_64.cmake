# Cross-builds 64-bit Windows executables on Linux with Debian's mingw-w64
# (package g++-mingw-w64-x86-64-posix). The -posix flavour of the compilers
# is the one whose libstdc++ has std::thread and std::mutex, on winpthreads.
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# or simply `cmake --preset windows`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELMAR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELMAR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELMAR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PELMAR_MINGW_TRIPLET}-windres)

# Headers and libraries come only from the Windows sysroot; programs (the
# build's own tools) only from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELMAR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static (libstdc++, libgcc, winpthread), so that an executable
# runs from any folder of a bare Windows: it then imports only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
