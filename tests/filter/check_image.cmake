# Checks the built driver image: native subsystem 10.0, entry point DriverEntry, imports from the
# kernel only, the pageable and discardable routines in PAGE and INIT and the rest resident.
# Usage: cmake -DIMAGE=<usbmodeflt.sys> -DOBJDUMP=<objdump> -P check_image.cmake

foreach(variable IMAGE OBJDUMP)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()

function(objdump flag out)
  execute_process(COMMAND ${OBJDUMP} ${flag} ${IMAGE}
                  OUTPUT_VARIABLE text RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} ${flag} failed: ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(failures "")
macro(expect_equal actual wanted message)
  if(NOT "${actual}" STREQUAL "${wanted}")
    list(APPEND failures "${message}")
  endif()
endmacro()
macro(expect_set value message)
  if("${value}" STREQUAL "")
    list(APPEND failures "${message}")
  endif()
endmacro()

objdump(-p headers)
objdump(-h sections)
objdump(-t symbols)

# Subsystem and versions.
string(REGEX MATCH "Subsystem[ \t]+0*([0-9a-fA-F]+)" _ "${headers}")
expect_equal("${CMAKE_MATCH_1}" "1" "subsystem is not native (1): '${CMAKE_MATCH_1}'")
string(REGEX MATCH "MajorSubsystemVersion[ \t]+([0-9]+)" _ "${headers}")
expect_equal("${CMAKE_MATCH_1}" "10" "subsystem version is not 10: '${CMAKE_MATCH_1}'")
string(REGEX MATCH "Magic[ \t]+([0-9a-fA-F]+)" _ "${headers}")
expect_equal("${CMAKE_MATCH_1}" "020b" "not a PE32+ (x64) image: '${CMAKE_MATCH_1}'")

# Relocations kept: the kernel loads a driver wherever it finds room.
string(REGEX MATCH "Characteristics 0x([0-9a-fA-F]+)" _ "${headers}")
math(EXPR stripped "0x${CMAKE_MATCH_1} & 0x1")
expect_equal("${stripped}" "0" "relocations stripped (characteristics 0x${CMAKE_MATCH_1})")

# Imports: ntoskrnl.exe, and HAL.dll at most; no C runtime.
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
expect_set("${dlls}" "no import table")
foreach(dll IN LISTS dlls)
  string(REPLACE "DLL Name: " "" dll "${dll}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower STREQUAL "ntoskrnl.exe" AND NOT lower STREQUAL "hal.dll")
    list(APPEND failures "imports from ${dll}")
  endif()
endforeach()
foreach(routine IoCreateDevice IoAttachDeviceToDeviceStack IofCallDriver IofCompleteRequest
                IoBuildDeviceIoControlRequest IoAcquireRemoveLockEx IoReleaseRemoveLockAndWaitEx
                PoCallDriver PoStartNextPowerIrp ExAllocatePoolWithTag ExFreePoolWithTag
                KeWaitForSingleObject)
  string(REGEX MATCH "[ \t]${routine}\n" found "${headers}")
  expect_set("${found}" "${routine} not imported")
endforeach()

# Entry point: the address of DriverEntry.
string(REGEX MATCH "AddressOfEntryPoint[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(entry "${CMAKE_MATCH_1}")
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(base "${CMAKE_MATCH_1}")

# Section numbers by name (objdump -t numbers them from 1).
string(REGEX MATCHALL "\n +[0-9]+ [^ \n]+" section_lines "${sections}")
foreach(line IN LISTS section_lines)
  string(REGEX MATCH "([0-9]+) ([^ ]+)" _ "${line}")
  math(EXPR number "${CMAKE_MATCH_1} + 1")
  set(section_of_${number} "${CMAKE_MATCH_2}")
  set(have_${CMAKE_MATCH_2} TRUE)
endforeach()
expect_set("${have_PAGE}" "no PAGE section")
expect_set("${have_INIT}" "no INIT section")
expect_set("${have_.text}" "no .text section")

function(section_of routine out)
  string(REGEX MATCH "\\(sec +([0-9]+)\\)[^\n]*\\(ty +20\\)[^\n]* 0x[0-9a-fA-F]+ ${routine}\n"
         _ "${symbols}")
  if(CMAKE_MATCH_1)
    set(${out} "${section_of_${CMAKE_MATCH_1}}" PARENT_SCOPE)
  else()
    set(${out} "<missing>" PARENT_SCOPE)
  endif()
endfunction()

foreach(placement "DriverEntry=INIT" "UmfAddDevice=PAGE" "UmfDispatchPnp=PAGE" "UmfUnload=PAGE"
                  "UmfDispatchPassThrough=.text" "UmfDispatchPower=.text" "UmfStartDevice=.text"
                  "UmfRemoveDevice=.text" "UmfStartCompletion=.text"
                  "UmfSendStartVendorRequest=.text")
  string(REPLACE "=" ";" pair "${placement}")
  list(GET pair 0 routine)
  list(GET pair 1 wanted)
  section_of(${routine} actual)
  expect_equal("${actual}" "${wanted}" "${routine} is in ${actual}, not ${wanted}")
endforeach()

# The entry point lies in INIT, where DriverEntry is.
string(REGEX MATCH "\n +[0-9]+ INIT +[0-9a-fA-F]+ +([0-9a-fA-F]+)" _ "${sections}")
set(init_vma "${CMAKE_MATCH_1}")
string(REGEX MATCH "\\(sec +[0-9]+\\)[^\n]*\\(ty +20\\)[^\n]* 0x([0-9a-fA-F]+) DriverEntry\n"
       _ "${symbols}")
set(driver_entry_offset "${CMAKE_MATCH_1}")
if(init_vma AND driver_entry_offset AND entry AND base)
  math(EXPR entry_offset "0x${init_vma} - 0x${base} + 0x${driver_entry_offset}"
       OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR entry_value "0x${entry}" OUTPUT_FORMAT HEXADECIMAL)
  expect_equal("${entry_offset}" "${entry_value}"
               "entry point ${entry_value} is not DriverEntry (${entry_offset})")
else()
  list(APPEND failures "could not locate the entry point or DriverEntry")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "usbmodeflt image check failed:\n  ${text}")
endif()
message(STATUS "usbmodeflt image: native subsystem 10.0, entry DriverEntry, imports ${dlls}")
