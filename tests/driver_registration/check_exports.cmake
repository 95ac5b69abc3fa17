# Fails unless the dynamic symbol table of LIBRARY defines exactly the USB
# client entry points, the stream entry points and the load handler.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(expected
    COM_Close COM_Deinit COM_IOControl COM_Init COM_Open COM_PowerDown COM_PowerUp COM_Read
    COM_Seek COM_Write DllMain USBDeviceAttach USBInstallDriver USBUnInstallDriver)
set(found "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
    # "<address> <type> <name>"; text (T) and data symbols count, the
    # linker's own markers (_init, _fini, __bss_start ...) do not.
    if(line MATCHES "^[0-9a-f]+ [TtDdBbRrVvWw] ([A-Za-z_][A-Za-z0-9_@.]*)$")
        set(name "${CMAKE_MATCH_1}")
        if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
            list(APPEND found "${name}")
        endif()
    endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
    message(FATAL_ERROR "exports differ\n  found:    ${found}\n  expected: ${expected}")
endif()
