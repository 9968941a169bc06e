# System libraries of the Windows build, and the updater's delay-loaded form
# of them.
#
# The updater runs elevated from a folder the user downloaded. Windows takes a
# statically imported DLL that is not a "known DLL" from the program's folder
# first, and so does Wine for the DLLs its own system libraries import (its
# user32 imports version.dll). So updater.exe imports only kernel32, msvcrt
# and advapi32 at load time; user32, gdi32, shell32 and ole32 are delay-loaded
# at their first call, after WinMain has restricted the DLL search to the
# system folder, and the DLLs they import come from there too.
#
# zt_winsys is what the libraries link: the plain import libraries for every
# program, the delay-import libraries for a program that sets the target
# property ZT_DELAY_LOAD (the flag is read on the program being linked).
#
# binutils' delay-import libraries are sound for x86_64 only: on i686 the
# pointers the code calls through lack their relocation. There the program
# carries thunks of its own instead (scripts/delayload-thunks.py, made for the
# functions it calls; app/CMakeLists.txt), whose symbols take precedence over
# the import libraries, so the plain libraries are linked as for any program.
if(NOT ZT_WINDOWS)
  return()
endif()

set(zt_delay_dlls user32 gdi32 shell32 ole32)
set(zt_delay_libs)
foreach(dll ${zt_delay_dlls})
  set(implib ${CMAKE_FIND_ROOT_PATH}/lib/lib${dll}.a)
  if(NOT EXISTS ${implib})
    message(FATAL_ERROR "import library ${implib} not found")
  endif()
  set(out ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
  if(NOT EXISTS ${out} OR ${implib} IS_NEWER_THAN ${out} OR ${CMAKE_CURRENT_LIST_FILE} IS_NEWER_THAN ${out})
    # The exports of the system's import library, as a module definition:
    # "__imp_Name" (x86_64) or "__imp__Name@N" (i686, stdcall decoration kept
    # for the linker and dropped from the imported name with -k).
    execute_process(COMMAND ${CMAKE_NM} ${implib} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${CMAKE_NM} failed on ${implib}")
    endif()
    if(ZT_MINGW_ARCH STREQUAL "i686")
      set(prefix "__imp__")
      set(kill -k)
    else()
      set(prefix "__imp_")
      set(kill)
    endif()
    string(REGEX MATCHALL " I ${prefix}[^\n]+" imports "${symbols}")
    set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
    foreach(entry ${imports})
      string(REPLACE " I ${prefix}" "" name "${entry}")
      string(APPEND def "  ${name}\n")
    endforeach()
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delayload)
    file(WRITE ${CMAKE_BINARY_DIR}/delayload/${dll}.def "${def}")
    execute_process(COMMAND ${CMAKE_DLLTOOL} ${kill} -d ${CMAKE_BINARY_DIR}/delayload/${dll}.def
                            -D ${dll}.dll -y ${out}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make ${out}")
    endif()
  endif()
  if(NOT ZT_MINGW_ARCH STREQUAL "i686")
    list(APPEND zt_delay_libs ${out})
  endif()
endforeach()
if(ZT_MINGW_ARCH STREQUAL "i686")
  set(zt_delay_libs ${zt_delay_dlls})
endif()

add_library(zt_winsys INTERFACE)
target_link_libraries(zt_winsys INTERFACE
  "$<IF:$<BOOL:$<TARGET_PROPERTY:ZT_DELAY_LOAD>>,${zt_delay_libs},${zt_delay_dlls}>" kernel32 advapi32)
