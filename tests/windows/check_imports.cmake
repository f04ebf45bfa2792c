# Fails unless EXECUTABLE imports only DLLs that every Windows has, so that
# it runs when copied alone into any folder: no libstdc++, libgcc or
# winpthread DLL of the toolchain. Run with
#   cmake -DOBJDUMP=<objdump> -DEXECUTABLE=<file.exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.25)

# Windows does not care about the case of a DLL name.
set(allowed KERNEL32.DLL WS2_32.DLL MSVCRT.DLL)

execute_process(COMMAND "${OBJDUMP}" -p "${EXECUTABLE}"
                OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXECUTABLE} failed: ${failed}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" entries "${dump}")
if(NOT entries)
  message(FATAL_ERROR "no imported DLLs found in ${EXECUTABLE}")
endif()
set(foreign "")
foreach(entry IN LISTS entries)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  message(STATUS "imports ${dll}")
  string(TOUPPER "${dll}" upper)
  if(NOT upper IN_LIST allowed)
    list(APPEND foreign "${dll}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${EXECUTABLE} imports DLLs that a bare Windows lacks: ${foreign}")
endif()
