# Fails when a Windows binary imports a DLL that a bare Windows machine does not have: the host and
# the bundled library must run with nothing installed beside them (no MinGW runtime DLLs).
# Run as: cmake -DOBJDUMP=<objdump> -DFILES=<file;file...> -P system_imports.cmake
cmake_minimum_required(VERSION 3.25)
set(system_dlls kernel32.dll msvcrt.dll advapi32.dll ntdll.dll user32.dll ws2_32.dll bcrypt.dll
  crypt32.dll ncrypt.dll cryptui.dll)
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} could not read ${file}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  if(NOT imports)
    message(FATAL_ERROR "${file}: no imports found; is it a Windows binary?")
  endif()
  foreach(line IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
      message(SEND_ERROR "${file} imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
  message(STATUS "${file}: ${imports}")
endforeach()
